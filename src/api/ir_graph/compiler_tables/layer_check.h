// Whether a layer model of an export is valid: every tensor input and output
// has a known rank, and a layer of standard operators passes the ONNX
// checker. The layers of one export share their model header (IR version
// and opset imports), so the header is checked once and each layer's graph
// is checked in the context it sets.
#pragma once

#include <onnx/checker.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../graph_core/model_header.h"

namespace onnx {
class ModelProto;
}

namespace tarq {

class LayerChecker {
 public:
  // For layers with the assembled header importing `imports`.
  explicit LayerChecker(const OpsetImports& imports);
  // Why `layer` is not valid, or "" when it is; the ONNX checker is left
  // out for a layer with `extended` operators. The layer's constants whose
  // data the weight cache holds are set aside while the checker runs (graph
  // inputs declare them); the list is the same afterwards, message for
  // message. Reads no state but the layer's, so it may run on any thread.
  std::string invalid_reason(onnx::ModelProto& layer, bool extended) const;

 private:
  std::string check_graph(const onnx::ModelProto& layer) const;

  onnx::checker::CheckerContext ctx_;
  std::string header_error_;
};

// The checks of an export's layers, run on a second thread while the export
// builds the layers that follow (checking is a fifth of the work, and the
// layers are independent). The export hands each layer over once it is
// complete and touches it no more; the second thread starts once there is
// enough to do, and runs no host code.
class LayerCheckQueue {
 public:
  explicit LayerCheckQueue(const LayerChecker& checker) : checker_(checker) {}
  ~LayerCheckQueue();
  LayerCheckQueue(const LayerCheckQueue&) = delete;
  LayerCheckQueue& operator=(const LayerCheckQueue&) = delete;

  void add(onnx::ModelProto* layer, bool extended);
  // The reason each layer given is not valid ("" when it is), in order; the
  // layers the second thread has not reached are checked here.
  std::vector<std::string> finish();

 private:
  void run();

  const LayerChecker& checker_;
  std::mutex mutex_;
  std::condition_variable more_;
  std::vector<std::pair<onnx::ModelProto*, bool>> layers_;
  std::vector<std::string> reasons_;
  size_t next_ = 0;  // the first layer nobody took yet
  bool closed_ = false;
  bool inline_ = false;  // no second thread could be started
  std::thread worker_;
};

}  // namespace tarq
