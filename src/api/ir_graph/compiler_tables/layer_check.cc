#include "layer_check.h"

#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../graph_core/parking.h"

namespace tarq {

namespace {

bool holds_data(const onnx::TensorProto& t) {
  if (t.data_location() == onnx::TensorProto::EXTERNAL || !t.raw_data().empty()) return true;
  int64_t n = 1;
  for (int64_t d : t.dims()) n *= d;
  return n == 0 || t.float_data_size() || t.int32_data_size() || t.string_data_size() ||
         t.int64_data_size() || t.double_data_size() || t.uint64_data_size();
}

}  // namespace

LayerChecker::LayerChecker(const OpsetImports& imports) {
  // The whole-model check of the header around an empty graph covers what
  // check_model checks beyond the graph; the context is the one it builds.
  onnx::ModelProto header;
  set_assembled_header(header, imports);
  header.mutable_graph()->set_name("header");
  try {
    onnx::checker::check_model(header);
  } catch (const std::exception& e) {
    header_error_ = e.what();
  }
  ctx_.set_ir_version(static_cast<int>(header.ir_version()));
  std::unordered_map<std::string, int> versions;
  for (const auto& op : header.opset_import())
    versions[op.domain()] = static_cast<int>(op.version());
  ctx_.set_opset_imports(std::move(versions));
}

std::string LayerChecker::check_graph(const onnx::ModelProto& layer) const {
  if (!header_error_.empty()) return header_error_;
  try {
    onnx::checker::LexicalScopeContext scope;
    onnx::checker::check_graph(layer.graph(), ctx_, scope);
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

std::string LayerChecker::invalid_reason(onnx::ModelProto& layer, bool extended) const {
  const auto& g = layer.graph();
  for (const auto* list : {&g.input(), &g.output()}) {
    for (const auto& vi : *list) {
      if (!vi.type().has_tensor_type()) continue;  // sequences, optionals: no rank to know
      if (!vi.type().tensor_type().has_shape()) {
        return fmt::format("'{}' has no known rank", vi.name());
      }
    }
  }
  if (extended) return {};
  // While the checker runs, only the constants that hold data stay in the
  // list; then all go back in their order, as the same messages.
  auto* inits = layer.mutable_graph()->mutable_initializer();
  if (std::all_of(inits->begin(), inits->end(), holds_data)) return check_graph(layer);
  const std::vector<onnx::TensorProto*> own = take_all(inits);
  for (auto* t : own) {
    if (holds_data(*t)) put_back(inits, t);
  }
  const std::string why = check_graph(layer);
  take_all(inits);  // those `own` holds already
  for (auto* t : own) put_back(inits, t);
  return why;
}

namespace {

// Layers waiting before the second thread starts, and between its wake-ups.
constexpr size_t kBatch = 64;

}  // namespace

LayerCheckQueue::~LayerCheckQueue() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    next_ = layers_.size();  // an export that stops early checks no more
  }
  more_.notify_one();
  worker_.join();
}

void LayerCheckQueue::add(onnx::ModelProto* layer, bool extended) {
  size_t waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    layers_.emplace_back(layer, extended);
    reasons_.emplace_back();
    waiting = layers_.size() - next_;
  }
  if (waiting < kBatch || inline_) return;
  if (!worker_.joinable()) {
    try {
      worker_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      inline_ = true;  // no thread to be had: finish() checks them all
    }
  } else if (waiting % kBatch == 0) {
    more_.notify_one();
  }
}

void LayerCheckQueue::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    more_.wait(lock, [this] { return next_ < layers_.size() || closed_; });
    if (next_ == layers_.size()) return;  // closed, and nothing left
    const size_t k = next_++;
    const auto [layer, extended] = layers_[k];
    lock.unlock();
    std::string why;
    try {
      why = checker_.invalid_reason(*layer, extended);
    } catch (const std::exception& e) {  // out of memory: nothing may leave the thread
      why = e.what();
    }
    lock.lock();
    reasons_[k] = std::move(why);
  }
}

std::vector<std::string> LayerCheckQueue::finish() {
  if (worker_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    more_.notify_one();
    worker_.join();
  }
  for (; next_ < layers_.size(); ++next_) {
    reasons_[next_] = checker_.invalid_reason(*layers_[next_].first, layers_[next_].second);
  }
  return std::move(reasons_);
}

}  // namespace tarq
