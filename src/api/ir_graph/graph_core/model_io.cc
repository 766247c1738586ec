// Reading and writing model files: the one place where model bytes go
// between disk and memory.
//
// Writing streams the model into the file in protobuf's wire format with the
// bytes of every weight written from where they lie (the model's own
// raw_data strings, the weight cache's arrays): nothing of the size of the
// weights is copied or serialized into a buffer first. Messages are written
// in field-number order, as protobuf itself writes them, so a model written
// here has the bytes a plain serialization of the same content would have.
// Only three levels are written field by field (the model, its graph, and
// the initializers whose data is replaced or moved to an external file);
// everything else goes through protobuf's own serializer.
#include <fcntl.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/unknown_field_set.h>
#include <onnx/onnx_pb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "../companions/onnx_helpers/tensor_layout.h"
#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/api/ir_graph/nesting.h"
#include "tarq/errors.h"

namespace tarq {

OwnerPtr load_model(const std::string& path) {
  std::error_code ec;
  auto status = std::filesystem::status(path, ec);
  if (!ec && std::filesystem::is_directory(status)) throw FileError(path + ": is a directory");
  if (!ec && !std::filesystem::is_regular_file(status)) {
    throw FileError(path + ": not a regular file");
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw FileError(path + ": " + std::strerror(errno));
  auto size = std::filesystem::file_size(path, ec);
  if (!ec && size > static_cast<uintmax_t>(INT32_MAX)) {
    ::close(fd);
    throw ValueError(path + ": larger than the 2 GiB a protobuf message can hold; keep the " +
                     "weights in external data files");
  }
  // Parse straight from the file in blocks: the weights are held once (in
  // the model), never also as a whole-file buffer.
  auto model = std::make_unique<onnx::ModelProto>();
  bool parsed;
  {
    google::protobuf::io::FileInputStream file(fd, 1 << 20);
    google::protobuf::io::CodedInputStream stream(&file);
    stream.SetTotalBytesLimit(INT32_MAX);
    parsed = model->ParseFromCodedStream(&stream) && stream.ConsumedEntireMessage();
    if (file.GetErrno() != 0) {
      int err = file.GetErrno();
      ::close(fd);
      throw FileError(path + ": read failed: " + std::strerror(err));
    }
  }
  ::close(fd);
  if (!parsed) {
    throw ValueError(path + ": not a readable ONNX model (the protobuf message does not parse)");
  }
  return std::make_shared<MessageOwner>(std::move(model));
}

}  // namespace tarq

namespace tarq {

namespace {

namespace fs = std::filesystem;
namespace pb = google::protobuf;
using pb::io::CodedOutputStream;

// ---------------------------------------------------------------- reading

// The folder of a model file, as external data locations are relative to it.
std::string folder_of(const std::string& path) { return fs::path(path).parent_path().string(); }

void load_tensor_data(onnx::TensorProto& t, const std::string& base_dir, MessageOwner& owner) {
  if (helpers::uses_external_data(t)) helpers::load_external_data_for_tensor(t, base_dir, &owner);
}

}  // namespace

OwnerPtr load_model(const std::string& path, bool load_external_data) {
  OwnerPtr owner = load_model(path);
  if (!load_external_data) return owner;
  auto& model = owner->root_as<onnx::ModelProto>();
  const std::string base_dir = folder_of(path);
  // Every tensor of every graph, subgraphs and function bodies included,
  // walked with an explicit stack.
  std::vector<onnx::NodeProto*> nodes;
  std::vector<onnx::GraphProto*> graphs;
  if (model.has_graph()) graphs.push_back(model.mutable_graph());
  for (auto& f : *model.mutable_functions()) {
    for (auto& n : *f.mutable_node()) nodes.push_back(&n);
  }
  while (!graphs.empty() || !nodes.empty()) {
    if (!graphs.empty()) {
      onnx::GraphProto* g = graphs.back();
      graphs.pop_back();
      for (auto& t : *g->mutable_initializer()) load_tensor_data(t, base_dir, *owner);
      for (auto& s : *g->mutable_sparse_initializer()) {
        load_tensor_data(*s.mutable_values(), base_dir, *owner);
        load_tensor_data(*s.mutable_indices(), base_dir, *owner);
      }
      for (auto& n : *g->mutable_node()) nodes.push_back(&n);
      continue;
    }
    onnx::NodeProto* n = nodes.back();
    nodes.pop_back();
    for (auto& a : *n->mutable_attribute()) {
      if (a.has_t()) load_tensor_data(*a.mutable_t(), base_dir, *owner);
      for (auto& t : *a.mutable_tensors()) load_tensor_data(t, base_dir, *owner);
      if (a.has_g()) graphs.push_back(a.mutable_g());
      for (auto& g : *a.mutable_graphs()) graphs.push_back(&g);
    }
  }
  return owner;
}

namespace {

// ---------------------------------------------------------------- files

[[noreturn]] void fail_write(const std::string& path, int err) {
  throw FileError("cannot write '" + path + "': " + std::strerror(err));
}

// A file written beside its target and renamed over it on commit(), so the
// target is complete or untouched; destroyed uncommitted, the new file is
// removed. A target that exists but is not a regular file (a device, a
// pipe) is written directly instead, and a symbolic link is followed, so
// the link stays.
class AtomicFile {
 public:
  explicit AtomicFile(const std::string& path) : path_(path), target_(path) {
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(path, ec))) {
      fs::path resolved = fs::weakly_canonical(path, ec);
      if (!ec) target_ = resolved.string();
    }
    struct stat st;
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
      throw FileError("cannot write '" + path + "': it is a directory");
    }
    if (exists && !S_ISREG(st.st_mode)) {
      fd_ = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (fd_ < 0) fail_write(path_, errno);
      direct_ = true;
      return;
    }
    static std::atomic<unsigned> counter{0};
    const fs::path target(target_);
    // Short enough for any file system's name limit.
    const std::string base = target.filename().string().substr(0, 120);
    const mode_t mode = exists ? (st.st_mode & 07777) : 0666;
    for (int attempt = 0;; ++attempt) {
      tmp_ = (target.parent_path() / ("." + base + ".tarq-" + std::to_string(::getpid()) + "-" +
                                      std::to_string(counter++) + ".tmp"))
                 .string();
      fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd_ >= 0) break;
      if (errno != EEXIST || attempt >= 100) {
        const int err = errno;
        tmp_.clear();
        fail_write(path_, err);
      }
    }
    // A file that is replaced keeps its permissions (the umask narrowed them).
    if (exists) (void)::fchmod(fd_, mode);
  }
  ~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !tmp_.empty()) ::unlink(tmp_.c_str());
  }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Closes the file (a failing close, as on a full network file system, is
  // a failed write) and puts it in place.
  void close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail_write(path_, errno);
  }
  void commit() {
    if (fd_ >= 0) close();
    if (!direct_ && ::rename(tmp_.c_str(), target_.c_str()) != 0) fail_write(path_, errno);
    committed_ = true;
  }

 private:
  std::string path_, target_, tmp_;
  int fd_ = -1;
  bool direct_ = false;
  bool committed_ = false;
};

// The output stream of a file: a buffer for what protobuf serializes, and
// large byte runs (aliased by the coded stream) written straight from their
// memory. `wrote` hears of every byte that reaches the file.
class FileSink final : public pb::io::ZeroCopyOutputStream {
 public:
  FileSink(const AtomicFile& file, std::function<void(uint64_t)> wrote)
      : file_(file), wrote_(std::move(wrote)), buf_(1 << 20) {}

  bool Next(void** data, int* size) override {
    if (err_ != 0) return false;
    if (used_ == buf_.size() && !flush()) return false;
    *data = buf_.data() + used_;
    *size = static_cast<int>(buf_.size() - used_);
    count_ += *size;
    used_ = buf_.size();
    return true;
  }
  void BackUp(int count) override {
    used_ -= static_cast<size_t>(count);
    count_ -= count;
  }
  int64_t ByteCount() const override { return count_; }
  bool AllowsAliasing() const override { return true; }
  bool WriteAliasedRaw(const void* data, int size) override {
    count_ += size;
    return write(data, static_cast<size_t>(size));
  }

  // Writes the buffer, then `n` bytes from `data`.
  bool write(const void* data, size_t n) {
    if (!flush()) return false;
    return write_all(static_cast<const char*>(data), n);
  }
  bool flush() {
    const size_t n = used_;
    used_ = 0;
    return write_all(buf_.data(), n);
  }
  // Fails with the file's error, if there was one.
  void check() const {
    if (err_ != 0) fail_write(file_.path(), err_);
  }

 private:
  bool write_all(const char* p, size_t n) {
    if (err_ != 0) return false;
    while (n > 0) {
      const ssize_t w = ::write(file_.fd(), p, std::min<size_t>(n, size_t{1} << 30));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        err_ = w < 0 ? errno : EIO;
        return false;
      }
      p += w;
      n -= static_cast<size_t>(w);
      if (wrote_) wrote_(static_cast<uint64_t>(w));
    }
    return true;
  }

  const AtomicFile& file_;
  std::function<void(uint64_t)> wrote_;
  std::vector<char> buf_;
  size_t used_ = 0;
  int64_t count_ = 0;
  int err_ = 0;
};

// ---------------------------------------------------------------- wire format

constexpr int kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kFixed32 = 5;
constexpr size_t kLargestMessage = INT_MAX;

// Where wire-format bytes go: counted only, or counted and written.
class Emit {
 public:
  explicit Emit(CodedOutputStream* out = nullptr) : out_(out) {}
  uint64_t size() const { return size_; }
  bool counting() const { return out_ == nullptr; }
  // Counts bytes counted elsewhere.
  void skip(uint64_t n) { size_ += n; }

  void tag(int number, int wire) {
    const uint32_t t = (static_cast<uint32_t>(number) << 3) | static_cast<uint32_t>(wire);
    size_ += CodedOutputStream::VarintSize32(t);
    if (out_) out_->WriteTag(t);
  }
  void varint(uint64_t v) {
    size_ += CodedOutputStream::VarintSize64(v);
    if (out_) out_->WriteVarint64(v);
  }
  void fixed32(uint32_t v) {
    size_ += 4;
    if (out_) out_->WriteLittleEndian32(v);
  }
  void fixed64(uint64_t v) {
    size_ += 8;
    if (out_) out_->WriteLittleEndian64(v);
  }
  // Bytes written from where they lie (the stream writes large runs
  // without copying them).
  void raw(const void* data, size_t n) {
    size_ += n;
    if (!out_) return;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
      const size_t k = std::min<size_t>(n, size_t{1} << 30);
      out_->WriteRawMaybeAliased(p, static_cast<int>(k));
      p += k;
      n -= k;
    }
  }
  void bytes_field(int number, const void* data, size_t n) {
    tag(number, kLengthDelimited);
    varint(n);
    raw(data, n);
  }
  // A sub-message of the model: sized while counting, written with the
  // sizes that counting cached.
  void message_field(int number, const pb::Message& m) {
    size_t n;
    if (out_) {
      n = static_cast<size_t>(m.GetCachedSize());
    } else {
      n = m.ByteSizeLong();
      if (n > kLargestMessage) {
        throw ValueError("a " + m.GetDescriptor()->name() + " of the model takes " +
                         std::to_string(n) +
                         " bytes, over the 2 GB a protobuf message can hold; keep its data in "
                         "an external data file");
      }
    }
    tag(number, kLengthDelimited);
    varint(n);
    size_ += n;
    if (out_) m.SerializeWithCachedSizes(out_);
  }
  // A message made for the write, sized each time.
  void new_message_field(int number, const pb::Message& m) {
    if (out_) (void)m.ByteSizeLong();
    message_field(number, m);
  }
  void unknown_fields(const pb::Message& m) {
    const pb::UnknownFieldSet& u = m.GetReflection()->GetUnknownFields(m);
    if (u.empty()) return;
    std::string bytes;
    u.SerializeToString(&bytes);
    raw(bytes.data(), bytes.size());
  }

 private:
  CodedOutputStream* out_;
  uint64_t size_ = 0;
};

// A scalar value of field `f` (element `i` of a repeated one, or the value
// of a singular one for i < 0). ONNX messages hold only these kinds.
void emit_scalar(Emit& e, const pb::Message& m, const pb::FieldDescriptor* f, int i) {
  using FD = pb::FieldDescriptor;
  const pb::Reflection* r = m.GetReflection();
  const bool rep = i >= 0;
  switch (f->type()) {
    case FD::TYPE_INT64:
      return e.varint(
          static_cast<uint64_t>(rep ? r->GetRepeatedInt64(m, f, i) : r->GetInt64(m, f)));
    case FD::TYPE_UINT64:
      return e.varint(rep ? r->GetRepeatedUInt64(m, f, i) : r->GetUInt64(m, f));
    case FD::TYPE_INT32:
      return e.varint(static_cast<uint64_t>(
          static_cast<int64_t>(rep ? r->GetRepeatedInt32(m, f, i) : r->GetInt32(m, f))));
    case FD::TYPE_UINT32:
      return e.varint(rep ? r->GetRepeatedUInt32(m, f, i) : r->GetUInt32(m, f));
    case FD::TYPE_ENUM:
      return e.varint(static_cast<uint64_t>(
          static_cast<int64_t>(rep ? r->GetRepeatedEnumValue(m, f, i) : r->GetEnumValue(m, f))));
    case FD::TYPE_BOOL:
      return e.varint(rep ? r->GetRepeatedBool(m, f, i) : r->GetBool(m, f));
    case FD::TYPE_FLOAT: {
      const float v = rep ? r->GetRepeatedFloat(m, f, i) : r->GetFloat(m, f);
      uint32_t bits;
      std::memcpy(&bits, &v, 4);
      return e.fixed32(bits);
    }
    case FD::TYPE_DOUBLE: {
      const double v = rep ? r->GetRepeatedDouble(m, f, i) : r->GetDouble(m, f);
      uint64_t bits;
      std::memcpy(&bits, &v, 8);
      return e.fixed64(bits);
    }
    default:
      throw ValueError("cannot write field " + f->full_name() + " of type " + f->type_name());
  }
}

int wire_type(const pb::FieldDescriptor* f) {
  switch (f->type()) {
    case pb::FieldDescriptor::TYPE_FLOAT:
      return kFixed32;
    case pb::FieldDescriptor::TYPE_DOUBLE:
      return kFixed64;
    default:
      return kVarint;
  }
}

// One field of `m` as protobuf writes it.
void emit_field(Emit& e, const pb::Message& m, const pb::FieldDescriptor* f) {
  using FD = pb::FieldDescriptor;
  const pb::Reflection* r = m.GetReflection();
  const int number = f->number();
  const bool is_bytes = f->type() == FD::TYPE_STRING || f->type() == FD::TYPE_BYTES;
  if (!f->is_repeated()) {
    if (f->type() == FD::TYPE_MESSAGE) return e.message_field(number, r->GetMessage(m, f));
    if (is_bytes) {
      std::string scratch;
      const std::string& s = r->GetStringReference(m, f, &scratch);
      return e.bytes_field(number, s.data(), s.size());
    }
    e.tag(number, wire_type(f));
    return emit_scalar(e, m, f, -1);
  }
  const int n = r->FieldSize(m, f);
  if (f->type() == FD::TYPE_MESSAGE) {
    for (int i = 0; i < n; ++i) e.message_field(number, r->GetRepeatedMessage(m, f, i));
    return;
  }
  if (is_bytes) {
    std::string scratch;
    for (int i = 0; i < n; ++i) {
      const std::string& s = r->GetRepeatedStringReference(m, f, i, &scratch);
      e.bytes_field(number, s.data(), s.size());
    }
    return;
  }
  if (f->is_packed()) {
    Emit payload;
    for (int i = 0; i < n; ++i) emit_scalar(payload, m, f, i);
    e.tag(number, kLengthDelimited);
    e.varint(payload.size());
    for (int i = 0; i < n; ++i) emit_scalar(e, m, f, i);
    return;
  }
  for (int i = 0; i < n; ++i) {
    e.tag(number, wire_type(f));
    emit_scalar(e, m, f, i);
  }
}

std::vector<const pb::FieldDescriptor*> set_fields(const pb::Message& m) {
  std::vector<const pb::FieldDescriptor*> fields;
  m.GetReflection()->ListFields(m, &fields);  // in field-number order
  return fields;
}

// ---------------------------------------------------------------- initializers

// What becomes of one top-level initializer.
struct TensorPlan {
  // False: written as it is. True: its data fields and external-data entries
  // give way to the data below, inline or in the external data file.
  bool replaced = false;
  const void* bytes = nullptr;  // raw data, unless `owned` holds it
  size_t size = 0;
  std::optional<std::string> owned;          // bytes made here (packed, read from a file)
  std::optional<onnx::TensorProto> strings;  // a string array's string_data
  NdArray keep;                              // keeps a cached array's memory alive
  bool external = false;                     // the data goes to the external data file
  uint64_t offset = 0;

  const void* data() const { return owned ? static_cast<const void*>(owned->data()) : bytes; }

  void take_array(const NdArray& a) {
    replaced = true;
    keep = a;
    if (a.elem_type() == kString) {
      strings = helpers::from_array(a);
    } else if (helpers::layout::is_packed(a.elem_type())) {
      owned = helpers::from_array(a).raw_data();
      size = owned->size();
    } else {
      bytes = a.data();
      size = a.nbytes();
    }
  }
};

// Fields of a tensor that hold its data, or say where it lives.
bool is_data_field(int number) {
  switch (number) {
    case onnx::TensorProto::kFloatDataFieldNumber:
    case onnx::TensorProto::kInt32DataFieldNumber:
    case onnx::TensorProto::kStringDataFieldNumber:
    case onnx::TensorProto::kInt64DataFieldNumber:
    case onnx::TensorProto::kRawDataFieldNumber:
    case onnx::TensorProto::kDoubleDataFieldNumber:
    case onnx::TensorProto::kUint64DataFieldNumber:
    case onnx::TensorProto::kExternalDataFieldNumber:
    case onnx::TensorProto::kDataLocationFieldNumber:
      return true;
    default:
      return false;
  }
}

struct Plans {
  std::vector<TensorPlan> tensors;  // by position in graph.initializer
  std::string location;             // of the external data file
  uint64_t external_bytes = 0;
};

// A replaced tensor: its own fields but the data ones, with the plan's data
// in their place, all in field-number order.
void emit_tensor_body(Emit& e, const onnx::TensorProto& t, const TensorPlan& p,
                      const std::string& location) {
  std::vector<int> inserted;
  if (p.external) {
    inserted = {onnx::TensorProto::kExternalDataFieldNumber,
                onnx::TensorProto::kDataLocationFieldNumber};
  } else if (p.strings) {
    inserted = {onnx::TensorProto::kStringDataFieldNumber};
  } else {
    inserted = {onnx::TensorProto::kRawDataFieldNumber};
  }
  auto insert = [&](int number) {
    switch (number) {
      case onnx::TensorProto::kRawDataFieldNumber:
        return e.bytes_field(number, p.data(), p.size);
      case onnx::TensorProto::kStringDataFieldNumber:
        for (const auto& s : p.strings->string_data()) e.bytes_field(number, s.data(), s.size());
        return;
      case onnx::TensorProto::kExternalDataFieldNumber: {
        const std::pair<const char*, std::string> entries[] = {{"location", location},
                                                               {"offset", std::to_string(p.offset)},
                                                               {"length", std::to_string(p.size)}};
        for (const auto& [key, value] : entries) {
          onnx::StringStringEntryProto entry;
          entry.set_key(key);
          entry.set_value(value);
          e.new_message_field(number, entry);
        }
        return;
      }
      default:  // data_location
        e.tag(number, kVarint);
        return e.varint(onnx::TensorProto::EXTERNAL);
    }
  };
  size_t next = 0;
  for (const pb::FieldDescriptor* f : set_fields(t)) {
    if (is_data_field(f->number())) continue;
    while (next < inserted.size() && inserted[next] < f->number()) insert(inserted[next++]);
    emit_field(e, t, f);
  }
  while (next < inserted.size()) insert(inserted[next++]);
  e.unknown_fields(t);
}

void emit_graph(Emit& e, const onnx::GraphProto& g, const Plans& plans) {
  for (const pb::FieldDescriptor* f : set_fields(g)) {
    if (f->number() != onnx::GraphProto::kInitializerFieldNumber) {
      emit_field(e, g, f);
      continue;
    }
    for (int i = 0; i < g.initializer_size(); ++i) {
      const onnx::TensorProto& t = g.initializer(i);
      const TensorPlan& p = plans.tensors[static_cast<size_t>(i)];
      if (!p.replaced) {
        e.message_field(f->number(), t);
        continue;
      }
      Emit body;
      emit_tensor_body(body, t, p, plans.location);
      e.tag(f->number(), kLengthDelimited);
      e.varint(body.size());
      emit_tensor_body(e, t, p, plans.location);
    }
  }
  e.unknown_fields(g);
}

void emit_model(Emit& e, const onnx::ModelProto& m, const Plans& plans, uint64_t graph_size) {
  for (const pb::FieldDescriptor* f : set_fields(m)) {
    if (f->number() != onnx::ModelProto::kGraphFieldNumber) {
      emit_field(e, m, f);
      continue;
    }
    e.tag(f->number(), kLengthDelimited);
    e.varint(graph_size);
    if (e.counting()) {
      e.skip(graph_size);
    } else {
      emit_graph(e, m.graph(), plans);
    }
  }
  e.unknown_fields(m);
}

// The external data file's location as written into the tensors, checked:
// a relative path that stays inside the model's folder.
std::string external_location(const std::string& name) {
  const fs::path loc = fs::path(name).lexically_normal();
  bool escapes = false;
  for (const auto& part : loc) escapes |= part == "..";
  if (name.empty() || loc.is_absolute() || loc.has_root_name() || loc.has_root_directory() ||
      escapes || !loc.has_filename() || loc.filename() == ".") {
    throw ValueError(
        "external_data must name a file relative to the model file's folder, inside "
        "it, got '" +
        name + "'");
  }
  return loc.generic_string();
}

Plans plan_initializers(const onnx::GraphProto& g, const ModelFileOptions& o) {
  Plans plans;
  plans.tensors.resize(static_cast<size_t>(g.initializer_size()));
  const bool external = !o.external_data.empty();
  if (external) plans.location = external_location(o.external_data);
  for (int i = 0; i < g.initializer_size(); ++i) {
    const onnx::TensorProto& t = g.initializer(i);
    TensorPlan& p = plans.tensors[static_cast<size_t>(i)];
    if (o.weights) {
      auto it = o.weights->find(t.name());
      if (it != o.weights->end()) p.take_array(it->second);
    }
    if (!p.replaced && external) {
      if (t.has_raw_data() && t.raw_data().size() >= kExternalDataThreshold) {
        p.replaced = true;
        p.bytes = t.raw_data().data();
        p.size = t.raw_data().size();
      } else if (helpers::uses_external_data(t)) {
        // Data in another file moves into the new one (or inline, when small).
        p.replaced = true;
        p.owned = helpers::read_external_data(t, o.base_dir);
        p.size = p.owned->size();
      }
    }
    if (external && p.replaced && !p.strings && p.size >= kExternalDataThreshold) {
      p.external = true;
      p.offset = plans.external_bytes;
      plans.external_bytes += p.size;
    }
  }
  return plans;
}

}  // namespace

void save_model(const onnx::ModelProto& model, const std::string& path,
                const ModelFileOptions& options) {
  check_nesting(model, "the model");  // the serializer recurses
  Plans plans = plan_initializers(model.graph(), options);
  std::string data_path;
  if (!plans.location.empty()) {
    data_path = (fs::path(path).parent_path() / plans.location).string();
    std::error_code ec;
    if (fs::weakly_canonical(data_path, ec) == fs::weakly_canonical(path, ec)) {
      throw ValueError("external_data names the model file itself: '" + path + "'");
    }
  }

  // Sizes first: the graph's length comes before it, and a file over 2 GB
  // is refused before anything is written.
  uint64_t graph_size = 0;
  if (model.has_graph()) {
    Emit count;
    emit_graph(count, model.graph(), plans);
    graph_size = count.size();
  }
  Emit count;
  emit_model(count, model, plans, graph_size);
  const uint64_t model_size = count.size();
  if (model_size > kLargestMessage) {
    throw ValueError("the model file would take " + std::to_string(model_size) +
                     " bytes, over the 2 GB (2147483647 bytes) a protobuf message can hold; "
                     "write its weights to an external data file");
  }

  const uint64_t total = model_size + plans.external_bytes;
  uint64_t done = 0;
  auto wrote = [&](uint64_t n) {
    done += n;
    if (options.progress) options.progress(done, total);
  };
  std::optional<AtomicFile> data_file;
  if (plans.external_bytes > 0) {
    data_file.emplace(data_path);
    FileSink sink(*data_file, wrote);
    for (const auto& p : plans.tensors) {
      if (p.external && !sink.write(p.data(), p.size)) break;
    }
    sink.flush();
    sink.check();
    data_file->close();
  }
  AtomicFile file(path);
  {
    FileSink sink(file, wrote);
    {
      CodedOutputStream coded(&sink);
      coded.EnableAliasing(true);
      Emit out(&coded);
      emit_model(out, model, plans, graph_size);
      coded.Trim();
      sink.check();
      if (coded.HadError()) fail_write(path, EIO);
    }
    sink.flush();
    sink.check();
    if (static_cast<uint64_t>(sink.ByteCount()) != model_size) {
      throw ValueError("writing '" + path + "' produced " + std::to_string(sink.ByteCount()) +
                       " bytes where " + std::to_string(model_size) +
                       " were counted; the model changed while it was written");
    }
  }
  // The data first: a model file in place never refers to data that is not.
  if (data_file) data_file->commit();
  file.commit();
}

}  // namespace tarq
