// Fuzz target for the graph layer: the input bytes are a serialized model.
//
// Each input is parsed (with a size limit) and, when it parses, wrapped in an
// IRGraph twice: once without a weight cache and once with an empty native
// one, so both the plain rebuild and the weight-moving rebuild run. Each
// graph is then rebuilt with node sorting (and shape cleaning), and the
// queries, dependency maps and free lists are touched. Right after the
// construction and the rebuild, verify() must find every table matching the
// model, and so must it after node removals, insertions and rewiring. An
// exception is an accepted outcome; a crash, a sanitizer report, a
// leak, a hang, or a table verify() finds wrong is a finding.
#include <google/protobuf/io/coded_stream.h>
#include <onnx/onnx_pb.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/progress.h"
#include "tarq/api/ir_graph/host_containers.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace {

// Inputs larger than this are not models worth the time.
constexpr int kMaxModelBytes = 8 << 20;

// A directory that exists and stays empty: the graph takes it as the model's
// directory, so external-data references find nothing to read.
const std::string& empty_model_path() {
  static const std::string path = [] {
    char tmpl[] = "/tmp/tarq-fuzz-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) std::abort();
    return std::string(dir) + "/model.onnx";
  }();
  return path;
}

// Reads the tables and queries the way a pass would, on a few names.
void touch(tarq::IRGraph& g) {
  const auto& graph = g.model().graph();
  std::vector<std::string> names;
  for (int i = 0; i < graph.node_size() && i < 4; ++i) {
    const auto& node = graph.node(i);
    (void)g.next_nodes(node);
    (void)g.pre_nodes(node);
    (void)g.index(node);
    for (const auto& in : node.input()) names.push_back(in);
    for (const auto& out : node.output()) names.push_back(out);
  }
  if (graph.node_size() > 0) {
    const auto& last = graph.node(graph.node_size() - 1);
    (void)g.next_nodes(last);
    (void)g.pre_nodes(last);
    (void)g.index(last);
  }
  for (const auto& in : graph.input()) names.push_back(in.name());
  for (const auto& out : graph.output()) names.push_back(out.name());
  names.push_back("");
  names.push_back("tarq-fuzz-no-such-name");
  size_t n = 0;
  for (const auto& name : names) {
    if (++n > 16) break;
    (void)g.next_nodes(name);
    (void)g.pre_nodes(name);
    (void)g.is_invalid(name);
    (void)g.operand(name);
  }

  for (const tarq::DependencyMap* map : {&g.tensor_dependency_map(), &g.node_dependency_map()}) {
    auto keys = map->keys();
    if (!keys.empty()) {
      (void)map->at(keys.back());
      (void)map->at(keys.front());
      (void)map->contains(keys.back());
    }
    (void)map->contains("tarq-fuzz-no-such-name");
  }

  const auto& frees = g.can_frees();
  for (size_t i = 0; i < frees.size(); ++i) {
    for (size_t j = 0; j < frees.list_size(i); ++j) (void)frees.name(i, j);
  }
  for (const auto& entry : g.nodes()) (void)entry.second;
  for (const auto& entry : g.operands()) (void)entry.second->outputs.size();
}

// The tables of a graph just rebuilt disagree with its model: a fault of
// the rebuild (or of verify), never of the input.
void prove(const tarq::IRGraph& g) {
  try {
    g.verify();
  } catch (const tarq::VerifyError& e) {
    std::fprintf(stderr, "tables wrong right after a rebuild or an edit: %s\n", e.what());
    std::abort();
  }
}

// Removes every third node from the end, puts copies back at the same
// places, then rewires one input and one output: the tables must match the
// model after each step, with no rebuild. Only for unique node names (a
// model that keeps repeated names has an index that cannot name both).
void edit(tarq::IRGraph& g) {
  auto& list = *g.model().mutable_graph()->mutable_node();
  const int n = list.size();
  if (n == 0 || g.nodes().size() != static_cast<size_t>(n)) return;
  std::vector<std::pair<int, onnx::NodeProto>> taken;
  for (int i = n - 1; i >= 0; i -= 3) {
    taken.emplace_back(i, list.Get(i));
    g.remove_node(list.Get(i));
  }
  prove(g);
  for (auto it = taken.rbegin(); it != taken.rend(); ++it) g.insert_node(it->first, it->second);
  prove(g);
  onnx::NodeProto& last = *list.Mutable(n - 1);
  const std::string first_out = list.Get(0).output_size() ? list.Get(0).output(0) : "";
  if (last.input_size() > 0) g.set_input(last, 0, first_out);
  if (last.output_size() > 0) g.set_output(last, 0, "tarq-fuzz-renamed");
  prove(g);
  touch(g);
}

void run(const onnx::ModelProto& model, bool with_cache) {
  tarq::IRGraphOptions options;
  options.ori_model_path = empty_model_path();
  if (with_cache) options.initializer_dat = std::make_shared<tarq::NativeArrayMap>();
  try {
    tarq::IRGraph g(model, options);
    prove(g);
    touch(g);
    tarq::RebuildOptions rebuild;
    rebuild.sort_nodes = true;
    rebuild.clean_shape = true;
    g.rebuild(rebuild);
    prove(g);
    touch(g);
    edit(g);
  } catch (const std::exception&) {
    // Rejecting a malformed model is an accepted outcome.
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarq::TarqLog::set_sink([](tarq::LogLevel, const std::string&) {});
  tarq::Progress::force(0);
  (void)empty_model_path();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > static_cast<size_t>(kMaxModelBytes)) return 0;
  onnx::ModelProto model;
  google::protobuf::io::CodedInputStream stream(data, static_cast<int>(size));
  stream.SetTotalBytesLimit(kMaxModelBytes);
  if (!model.ParseFromCodedStream(&stream) || !stream.ConsumedEntireMessage()) return 0;
  run(model, /*with_cache=*/false);
  run(model, /*with_cache=*/true);
  return 0;
}
