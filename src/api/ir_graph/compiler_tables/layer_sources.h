// Where the layers of an export find what their nodes read and write, by
// tensor name: the graph input that declares it, the constant that holds
// it, and the value information of a computed tensor (a graph output's,
// else a value_info entry's; the last of either kind). One lookup answers
// all three. Names are copied, since host code may rename tensors in place
// while the export runs; the messages stay alive with their models' owners.
#pragma once

#include <onnx/onnx_pb.h>
#include <tsl/ordered_map.h>

#include <deque>
#include <string_view>
#include <utility>
#include <vector>

#include "tarq/api/ir_graph/name_arena.h"

namespace tarq {

class LayerSources {
 public:
  struct Entry {
    const onnx::ValueInfoProto* declared = nullptr;  // a graph input
    const onnx::TensorProto* value = nullptr;        // an initializer
    const onnx::ValueInfoProto* info = nullptr;      // a computed tensor's
    // Whether layer inputs may take `info`: a graph output's, or an output
    // of a layer made so far.
    bool given = false;
    bool graph_output = false;  // a graph output of the model
    int64_t reader_slot = -1;   // its place in the export's reader table
    onnx::ValueInfoProto* made = nullptr;
  };

  // Graph inputs and initializers (the first of a name) and the value
  // information of `graph`; every output of its nodes is looked up once.
  explicit LayerSources(const onnx::GraphProto& graph);

  Entry* find(std::string_view name);
  // Takes the value information of `graph` (an inferred copy of the model)
  // instead of what it held.
  void take_infos(const onnx::GraphProto& graph);
  // Whether every output of the graph's nodes has value information with a
  // shape of fixed sizes.
  bool settles() const;
  // The entries of node k's outputs, in order (null for an empty name).
  std::pair<Entry* const*, Entry* const*> outputs_of(size_t k) const {
    return {node_outputs_.data() + first_output_[k], node_outputs_.data() + first_output_[k + 1]};
  }
  // What a layer that reads the tensor declares as its input: the graph
  // input, else for a constant its own type and dims, else the value
  // information given so far; null when there is none.
  const onnx::ValueInfoProto* input_info(Entry& entry);

 private:
  // The entry of `name`, made when there is none.
  Entry& at(std::string_view name);
  void add_infos(const onnx::GraphProto& graph);

  NameArena names_;
  // Open addressing over a deque of entries: compact to probe, and entries
  // stay where they are as the table grows.
  tsl::ordered_map<std::string_view, Entry> entries_;
  std::deque<onnx::ValueInfoProto> made_;
  std::vector<Entry*> node_outputs_;
  std::vector<size_t> first_output_;
};

}  // namespace tarq
