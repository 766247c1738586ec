// Tensors whose data lives in a file beside the model.
//
// Note [Safe external data]: a model is untrusted input, and its external
// data locations must not let it read anything but regular files inside the
// model's directory. A location is refused when it is empty, absolute, names
// a symbolic link or anything but a regular file, or lies outside base_dir
// once "..", "." and the links of its directories are resolved. The file is
// opened by its resolved path without following a final link and without
// blocking (a FIFO swapped in is refused by the fstat that follows), and
// offset and length are checked against the size of the open file.
#include <fcntl.h>
#include <onnx/onnx_pb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/message_owner.h"
#include "tarq/errors.h"

namespace tarq::helpers {

namespace fs = std::filesystem;

namespace {

struct ExternalInfo {
  std::string location;
  std::optional<uint64_t> offset, length;
};

std::string label(const onnx::TensorProto& t) { return "tensor '" + t.name() + "'"; }

// A non-negative integer as Python's int() reads it: surrounding blanks, an
// optional sign, decimal digits with single underscores between them.
uint64_t parse_count(const std::string& text, const char* what, const onnx::TensorProto& t) {
  auto fail = [&]() -> uint64_t {
    throw ValueError("external data " + std::string(what) + " of " + label(t) +
                     " must be a non-negative integer, got '" + text + "'");
  };
  size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  bool negative = false;
  if (b < e && (text[b] == '+' || text[b] == '-')) negative = text[b++] == '-';
  if (b == e) return fail();
  uint64_t v = 0;
  bool digit_before = false, nonzero = false;
  for (size_t i = b; i < e; ++i) {
    const char c = text[i];
    if (c == '_') {
      if (!digit_before || i + 1 == e) return fail();
      digit_before = false;
      continue;
    }
    if (c < '0' || c > '9') return fail();
    digit_before = true;
    nonzero |= c != '0';
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, c - '0', &v)) {
      throw FileError("external data " + std::string(what) + " of " + label(t) +
                      " is too large: " + text);
    }
  }
  if (negative && nonzero) return fail();
  return v;
}

ExternalInfo external_info(const onnx::TensorProto& t) {
  ExternalInfo info;
  std::string offset, length;
  bool has_offset = false, has_length = false;
  // Later entries win, as in the Python helper.
  for (const auto& entry : t.external_data()) {
    if (entry.key() == "location") {
      info.location = entry.value();
    } else if (entry.key() == "offset") {
      offset = entry.value(), has_offset = true;
    } else if (entry.key() == "length") {
      length = entry.value(), has_length = true;
    }
  }
  if (has_offset) info.offset = parse_count(offset, "offset", t);
  if (has_length) info.length = parse_count(length, "length", t);
  return info;
}

// True when `path` is `base` or below it; both are absolute and normal.
bool is_within(const fs::path& base, const fs::path& path) {
  auto b = base.begin(), p = path.begin();
  for (; b != base.end(); ++b, ++p) {
    if (b->empty() && std::next(b) == base.end()) break;  // trailing separator
    if (p == path.end() || *b != *p) return false;
  }
  return true;
}

// The resolved path of a safe external data file (Note [Safe external data]).
fs::path resolve_location(const onnx::TensorProto& t, const std::string& location,
                          const std::string& base_dir) {
  const std::string who = "external data of " + label(t);
  if (location.empty()) throw FileError(who + ": the location is empty");
  if (location.find('\0') != std::string::npos) {
    throw FileError(who + ": the location contains a NUL character");
  }
  const fs::path loc(location);
  if (loc.is_absolute() || loc.has_root_name() || loc.has_root_directory()) {
    throw FileError(who + ": the location must be a relative path, got '" + location + "'");
  }
  std::error_code ec;
  const fs::path base = fs::canonical(base_dir.empty() ? fs::path(".") : fs::path(base_dir), ec);
  if (ec)
    throw FileError(who + ": cannot resolve the directory '" + base_dir + "': " + ec.message());

  const fs::path joined = (base / loc).lexically_normal();
  if (!joined.has_filename() || joined.filename() == "..") {
    throw FileError(who + ": the location '" + location + "' does not name a file");
  }
  const fs::path dir = fs::canonical(joined.parent_path(), ec);
  if (ec) {
    throw FileError(who + ": the location '" + location + "' is not a file inside '" +
                    base.string() + "'");
  }
  const fs::path full = dir / joined.filename();
  if (!is_within(base, full)) {
    throw FileError(who + ": the location '" + location + "' points outside '" + base.string() +
                    "'");
  }
  struct stat st;
  if (::lstat(full.c_str(), &st) != 0) {
    throw FileError(who + ": cannot find '" + full.string() + "': " + std::strerror(errno));
  }
  if (S_ISLNK(st.st_mode)) {
    throw FileError(who + ": '" + full.string() + "' is a symbolic link");
  }
  if (!S_ISREG(st.st_mode)) {
    throw FileError(who + ": '" + full.string() + "' is not a regular file");
  }
  return full;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool uses_external_data(const onnx::TensorProto& tensor) {
  return tensor.has_data_location() &&
         tensor.data_location() == onnx::TensorProto_DataLocation_EXTERNAL;
}

std::string read_external_data(const onnx::TensorProto& tensor, const std::string& base_dir) {
  const ExternalInfo info = external_info(tensor);
  const fs::path path = resolve_location(tensor, info.location, base_dir);
  const std::string who = "external data of " + label(tensor) + " in '" + path.string() + "'";

  Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) throw FileError(who + ": cannot open: " + std::strerror(errno));
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    throw FileError(who + ": not a regular file");
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const uint64_t offset = info.offset.value_or(0);
  if (offset > size) {
    throw FileError(who + ": offset " + std::to_string(offset) + " is past the end of the file (" +
                    std::to_string(size) + " bytes)");
  }
  uint64_t length = size - offset;
  if (info.length) {
    if (*info.length > length) {
      throw FileError(who + ": length " + std::to_string(*info.length) + " exceeds the " +
                      std::to_string(length) + " bytes from offset " + std::to_string(offset));
    }
    length = *info.length;
  }
  std::string bytes(length, '\0');
  uint64_t done = 0;
  while (done < length) {
    const ssize_t r =
        ::pread(fd.get(), bytes.data() + done, length - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      throw FileError(who + ": read failed after " + std::to_string(done) + " of " +
                      std::to_string(length) + " bytes" +
                      (r < 0 ? std::string(": ") + std::strerror(errno) : std::string()));
    }
    done += static_cast<uint64_t>(r);
  }
  return bytes;
}

void load_external_data_for_tensor(onnx::TensorProto& tensor, const std::string& base_dir,
                                   MessageOwner* park_into) {
  std::string bytes = read_external_data(tensor, base_dir);
  release_viewed_bytes(park_into, &tensor);
  tensor.set_raw_data(std::move(bytes));
  tensor.set_data_location(onnx::TensorProto_DataLocation_DEFAULT);
  if (park_into) {
    auto* entries = tensor.mutable_external_data();
    while (!entries->empty())
      park_into->park(std::unique_ptr<google::protobuf::Message>(entries->ReleaseLast()));
  } else {
    tensor.clear_external_data();
  }
}

}  // namespace tarq::helpers
