// tarq-ir, run as a user runs it.
#include <gtest/gtest.h>
#include <unistd.h>
#include <onnx/checker.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "tarq/api/ir_graph/ir_graph.h"

namespace {

struct ToolRun {
  int status;
  std::string out;
};

// Runs the tool with `args`; its stderr goes to `err_to` (a shell redirection
// target).
ToolRun run_to(const std::string& args, const std::string& err_to) {
  const std::string cmd = std::string(TARQ_IR_BIN) + " " + args + " 2>" + err_to;
  ToolRun r{-1, ""};
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

ToolRun run(const std::string& args) { return run_to(args, "/dev/null"); }

TEST(TarqIrInfo, DescribesTheShippedExampleAsJson) {
  ToolRun r = run("info --json");
  ASSERT_EQ(r.status, 0);
  auto j = nlohmann::ordered_json::parse(r.out);
  EXPECT_EQ(j["nodes"], 14);
  EXPECT_EQ(j["opset"], 17);
  ASSERT_EQ(j["inputs"].size(), 1u);
  EXPECT_EQ(j["inputs"][0]["name"], "input");
  EXPECT_EQ(j["inputs"][0]["elem_type"], "FLOAT");
  EXPECT_EQ(j["inputs"][0]["shape"], nlohmann::ordered_json::array({1, 3, 32, 32}));
  EXPECT_EQ(j["outputs"][0]["shape"], nlohmann::ordered_json::array({1, 10}));
  EXPECT_EQ(j["initializers"]["count"], 16);
  // Operators, most frequent first.
  auto ops = j["operators"];
  EXPECT_EQ(ops["Conv"], 3);
  EXPECT_EQ(ops.begin().key(), "Conv");
  int total = 0;
  for (const auto& item : ops.items()) total += item.value().get<int>();
  EXPECT_EQ(total, 14);
}

TEST(TarqIrInfo, TextAndFailures) {
  ToolRun text = run("info " TARQ_SOURCE_DIR "/examples/small_cnn.onnx");
  ASSERT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("Nodes: 14"), std::string::npos);
  EXPECT_NE(text.out.find("probabilities"), std::string::npos);
  EXPECT_EQ(run("info /no/such/model.onnx").status, 2);
  EXPECT_EQ(run("info " TARQ_SOURCE_DIR "/README.md").status, 1);
  EXPECT_NE(run("").status, 0);
  EXPECT_NE(run("info --no-such-flag").status, 0);
}

}  // namespace

TEST(TarqIrNode, ShowsCarriedAttributesAndMarkedDefaults) {
  ToolRun r = run("info --json --node block1/Conv");
  ASSERT_EQ(r.status, 0);
  auto j = nlohmann::ordered_json::parse(r.out);
  EXPECT_EQ(j["op_type"], "Conv");
  bool saw_pads = false, saw_auto_pad = false;
  for (const auto& a : j["attributes"]) {
    if (a["name"] == "pads") saw_pads = !a["default"].get<bool>() && a["value"] == "[1, 1, 1, 1]";
    if (a["name"] == "auto_pad") saw_auto_pad = a["default"].get<bool>();
  }
  EXPECT_TRUE(saw_pads);
  EXPECT_TRUE(saw_auto_pad);
  ToolRun text = run("info --node block1/Conv");
  EXPECT_NE(text.out.find("(default)"), std::string::npos);
  EXPECT_EQ(run("info --node no/such/node").status, 1);
}

TEST(TarqIrFp32, WritesAFloatModelOrSaysWhyNot) {
  const std::string out = ::testing::TempDir() + "tarq_fp32_test.onnx";
  std::remove(out.c_str());
  ASSERT_EQ(run("fp32 -o " + out).status, 0);
  ToolRun info = run("info --json " + out);
  ASSERT_EQ(info.status, 0);
  EXPECT_EQ(nlohmann::ordered_json::parse(info.out)["nodes"], 14);
  std::remove(out.c_str());
  EXPECT_EQ(run("fp32 /no/such/model.onnx -o " + out).status, 2);
  EXPECT_EQ(run("fp32 -o /no/such/folder/out.onnx").status, 2);
  EXPECT_NE(run("fp32").status, 0);  // -o is required
}

namespace {

// Runs the tool with its standard error kept.
ToolRun run_keeping_stderr(const std::string& args, std::string* err) {
  // One file per process and call: ctest runs tests in parallel processes.
  static int calls = 0;
  const std::string err_file = ::testing::TempDir() + "tarq_tool_stderr_" +
                               std::to_string(::getpid()) + "_" + std::to_string(++calls) + ".txt";
  ToolRun r = run_to(args, err_file);
  std::ifstream in(err_file);
  err->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  std::remove(err_file.c_str());
  return r;
}

bool file_exists(const std::string& path) { return std::ifstream(path).good(); }

// Where the top-level nodes read a tensor that a later node writes.
bool in_execution_order(const onnx::GraphProto& g) {
  std::set<std::string> known;
  for (const auto& v : g.input()) known.insert(v.name());
  for (const auto& t : g.initializer()) known.insert(t.name());
  for (const auto& n : g.node()) {
    for (const auto& in : n.input()) {
      if (!in.empty() && !known.count(in)) return false;
    }
    known.insert(n.output().begin(), n.output().end());
  }
  return true;
}

const std::string kExample = TARQ_SOURCE_DIR "/examples/small_cnn.onnx";

}  // namespace

TEST(TarqIrCut, KeepsTheSubGraphBetweenTheNewBoundary) {
  const std::string out = ::testing::TempDir() + "tarq_cut_test.onnx";
  std::remove(out.c_str());
  ToolRun r = run("cut --json --inputs block2/add_out --outputs block3/conv_out -o " + out);
  ASSERT_EQ(r.status, 0);
  auto j = nlohmann::ordered_json::parse(r.out);
  EXPECT_EQ(j["before"]["nodes"], 14);
  EXPECT_EQ(j["after"]["nodes"], 3);  // Relu, MaxPool, Conv
  auto info = nlohmann::ordered_json::parse(run("info --json " + out).out);
  ASSERT_EQ(info["inputs"].size(), 1u);
  EXPECT_EQ(info["inputs"][0]["name"], "block2/add_out");
  EXPECT_EQ(info["inputs"][0]["shape"], nlohmann::ordered_json::array({1, 8, 32, 32}));
  EXPECT_EQ(info["outputs"][0]["name"], "block3/conv_out");
  // A shape given with a symbolic and an unknown dimension; the weights go
  // to a data file beside the model.
  const std::string data = ::testing::TempDir() + "tarq_cut_test.bin";
  std::remove(data.c_str());
  ASSERT_EQ(run("cut --inputs block2/add_out --shapes block2/add_out=Nx8x?x32 --external-data "
                "tarq_cut_test.bin -o " +
                out)
                .status,
            0);
  EXPECT_TRUE(file_exists(data));
  info = nlohmann::ordered_json::parse(run("info --json " + out).out);
  EXPECT_EQ(info["inputs"][0]["shape"], nlohmann::ordered_json::parse(R"(["N", 8, null, 32])"));
  std::remove(data.c_str());
  std::remove(out.c_str());
}

TEST(TarqIrCut, RefusesUnknownTensorsWithoutWriting) {
  const std::string out = ::testing::TempDir() + "tarq_cut_refused.onnx";
  std::remove(out.c_str());
  std::string err;
  ToolRun r = run_keeping_stderr("cut --inputs block2/add_out,no/such -o " + out, &err);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(err.find("unknown tensor 'no/such' in --inputs"), std::string::npos) << err;
  r = run_keeping_stderr("cut --outputs Probabilities -o " + out, &err);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(err.find("'Probabilities' in --outputs"), std::string::npos) << err;
  // A constant is not a tensor a node computes.
  r = run_keeping_stderr("cut --inputs block3.conv.weight -o " + out, &err);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(err.find("block3.conv.weight"), std::string::npos) << err;
  EXPECT_NE(run_keeping_stderr("cut --inputs pool/out --outputs pool/out -o " + out, &err).status,
            0);
  EXPECT_NE(run_keeping_stderr("cut --inputs pool/out --shapes input=1x3 -o " + out, &err).status,
            0);
  EXPECT_NE(err.find("'input'"), std::string::npos) << err;
  EXPECT_NE(run_keeping_stderr("cut -o " + out, &err).status, 0);  // nothing to cut
  EXPECT_FALSE(file_exists(out));
}

TEST(TarqIrSortClean, OrderAndDeadNodes) {
  // The example with its nodes reversed and a node nothing reads.
  tarq::OwnerPtr owner = tarq::load_model(kExample);
  auto& model = owner->root_as<onnx::ModelProto>();
  auto* nodes = model.mutable_graph()->mutable_node();
  std::reverse(nodes->pointer_begin(), nodes->pointer_end());
  auto* dead = nodes->Add();
  dead->set_op_type("Relu");
  dead->set_name("dead");
  dead->add_input("block1/relu_out");
  dead->add_output("dead_out");
  const std::string messy = ::testing::TempDir() + "tarq_messy.onnx";
  tarq::save_model(model, messy);

  const std::string sorted = ::testing::TempDir() + "tarq_sorted.onnx";
  ASSERT_EQ(run("sort -q " + messy + " -o " + sorted).status, 0);
  tarq::OwnerPtr s = tarq::load_model(sorted);
  const auto& sg = s->root_as<onnx::ModelProto>().graph();
  EXPECT_TRUE(in_execution_order(sg));
  EXPECT_EQ(sg.node_size(), 15);  // sorting removes nothing

  const std::string cleaned = ::testing::TempDir() + "tarq_cleaned.onnx";
  ASSERT_EQ(run("clean -q " + messy + " -o " + cleaned).status, 0);
  tarq::OwnerPtr c = tarq::load_model(cleaned);
  const auto& cg = c->root_as<onnx::ModelProto>().graph();
  EXPECT_EQ(cg.node_size(), 14);
  for (const auto& n : cg.node()) EXPECT_NE(n.name(), "dead");
  EXPECT_EQ(run("clean -q /no/such/model.onnx -o " + cleaned).status, 2);
  EXPECT_EQ(run("sort -q " + messy + " -o /no/such/folder/out.onnx").status, 2);
  for (const auto* f : {&messy, &sorted, &cleaned}) std::remove(f->c_str());
}

TEST(TarqIrBatch, ExpandsOrSaysWhyAndShowsShapesPerConfiguration) {
  const std::string out = ::testing::TempDir() + "tarq_batch4.onnx";
  std::remove(out.c_str());
  const std::string example = TARQ_SOURCE_DIR "/examples/small_cnn.onnx";
  ASSERT_EQ(run("expand-batch " + example + " 4 -o " + out).status, 0);
  onnx::ModelProto m = *static_cast<onnx::ModelProto*>(&tarq::load_model(out)->root());
  EXPECT_EQ(m.graph().input(0).type().tensor_type().shape().dim(0).dim_value(), 4);

  // A batch-3 input cannot be expanded: refused, with the reason, nothing
  // written.
  const std::string three = ::testing::TempDir() + "tarq_batch3_in.onnx";
  m.mutable_graph()
      ->mutable_input(0)
      ->mutable_type()
      ->mutable_tensor_type()
      ->mutable_shape()
      ->mutable_dim(0)
      ->set_dim_value(3);
  {
    std::ofstream f(three, std::ios::binary);
    m.SerializeToOstream(&f);
  }
  const std::string refused = ::testing::TempDir() + "tarq_batch_refused.onnx";
  std::remove(refused.c_str());
  std::string err;
  ToolRun r = run_keeping_stderr("expand-batch " + three + " 2 -o " + refused, &err);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(err.find("is not equal to 1"), std::string::npos) << err;
  EXPECT_NE(err.find("nothing was written"), std::string::npos) << err;
  EXPECT_FALSE(file_exists(refused));

  r = run("shapes --config 1x3x32x32 --config 2x3x64x64 --json");
  ASSERT_EQ(r.status, 0);
  auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["input"], "input");
  EXPECT_EQ(j["tensors"]["probabilities"], nlohmann::json::parse(R"(["[1, 10]", "[2, 10]"])"));
  r = run("shapes --config 1x3x32x32");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("block1/conv_out"), std::string::npos);
  EXPECT_NE(run_keeping_stderr("shapes --config 1x3x32x32 --input nope", &err).status, 0);
  EXPECT_NE(err.find("'nope' is not a graph input"), std::string::npos) << err;
}

namespace {

nlohmann::json read_json(const std::string& path) {
  std::ifstream in(path);
  return nlohmann::json::parse(in);
}

// The node names of the layer table, in layer order.
std::vector<std::string> layer_nodes(const nlohmann::json& table) {
  std::vector<std::string> names;
  for (const auto& layer : table["layers"]) {
    for (const auto& n : layer["nodes"]) names.push_back(n["name"]);
  }
  return names;
}

}  // namespace

TEST(TarqIrLayers, WritesOneCheckedModelPerLayerAndATableThatAgreesWithThem) {
  const std::string dir = ::testing::TempDir() + "tarq_layers_test";
  std::filesystem::remove_all(dir);
  ASSERT_EQ(run("layers -o " + dir).status, 0);
  const auto table = read_json(dir + "/layers.json");
  tarq::OwnerPtr example = tarq::load_model(kExample);
  const auto& graph = example->root_as<onnx::ModelProto>().graph();
  std::vector<std::string> model_nodes;
  for (const auto& n : graph.node()) model_nodes.push_back(n.name());
  // Without fusion: one layer per node, in model order.
  ASSERT_EQ(table["layers"].size(), 14u);
  EXPECT_EQ(layer_nodes(table), model_nodes);
  EXPECT_EQ(table["layers"][0]["nodes"][0]["op_type"], "Conv");
  EXPECT_EQ(table["layers"][13]["file"], "layer_13.onnx");
  EXPECT_EQ(table["layers"][0]["file"], "layer_00.onnx");

  std::map<std::string, std::vector<int64_t>> read_by;  // from the layers' inputs
  std::set<std::string> freed;
  for (const auto& layer : table["layers"]) {
    const int64_t id = layer["id"];
    // The file is a complete model: it loads, passes the ONNX checker with
    // its constants' data, and holds what the table says.
    tarq::OwnerPtr owner = tarq::load_model(dir + "/" + layer["file"].get<std::string>());
    const auto& m = owner->root_as<onnx::ModelProto>();
    EXPECT_NO_THROW(onnx::checker::check_model(m, /*full_check=*/true)) << layer["file"];
    ASSERT_EQ(m.graph().node_size(), static_cast<int>(layer["nodes"].size()));
    EXPECT_EQ(m.graph().node(0).name(), layer["nodes"][0]["name"]);
    ASSERT_EQ(m.graph().output_size(), static_cast<int>(layer["outputs"].size()));
    EXPECT_EQ(m.graph().output(0).name(), layer["outputs"][0]);
    EXPECT_EQ(m.graph().initializer_size(), static_cast<int>(layer["constants"].size()));
    for (const auto& t : m.graph().initializer()) {
      EXPECT_TRUE(t.has_raw_data() || t.float_data_size() || t.int64_data_size()) << t.name();
    }
    for (const auto& in : layer["inputs"]) read_by[in].push_back(id);
    // A tensor is freed once, by a layer no later layer reads it after.
    for (const auto& f : layer["frees"]) {
      EXPECT_TRUE(freed.insert(f).second) << f;
      const auto& readers = table["readers"][f.get<std::string>()];
      ASSERT_FALSE(readers.empty()) << f;
      EXPECT_EQ(readers.back(), id) << f;
    }
  }
  EXPECT_TRUE(freed.count("input"));
  EXPECT_FALSE(freed.count("probabilities"));  // a graph output
  // "readers" lists, per computed tensor, exactly the layers that read it.
  std::map<std::string, std::vector<int64_t>> readers = table["readers"];
  EXPECT_EQ(readers, read_by);
  EXPECT_EQ(readers["block1/relu_out"], (std::vector<int64_t>{3, 5}));  // conv and residual add

  // Fused: fewer layers, every node still in exactly one of them, in order.
  const std::string fused = dir + "_fused";
  std::filesystem::remove_all(fused);
  ToolRun r = run("layers --fuse --target d5 --json -o " + fused);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(nlohmann::json::parse(r.out)["layers"], 11);
  const auto ft = read_json(fused + "/layers.json");
  EXPECT_EQ(ft["target"], "d5");
  EXPECT_LT(ft["layers"].size(), 14u);
  EXPECT_EQ(layer_nodes(ft), model_nodes);
  bool saw_pair = false;
  for (const auto& layer : ft["layers"]) {
    if (layer["nodes"].size() != 2) continue;
    saw_pair = true;
    // A fused layer writes only the consumer's output; the tensor between
    // the two never leaves it.
    EXPECT_EQ(layer["outputs"].size(), 1u);
    tarq::OwnerPtr owner = tarq::load_model(fused + "/" + layer["file"].get<std::string>());
    EXPECT_NO_THROW(onnx::checker::check_model(owner->root_as<onnx::ModelProto>(), true));
  }
  EXPECT_TRUE(saw_pair);
  std::filesystem::remove_all(dir);
  std::filesystem::remove_all(fused);
}

TEST(TarqIrLayers, RefusesBadModelsTargetsAndFolders) {
  const std::string dir = ::testing::TempDir() + "tarq_layers_refused";
  std::filesystem::remove_all(dir);
  std::string err;
  EXPECT_EQ(run_keeping_stderr("layers /no/such/model.onnx -o " + dir, &err).status, 2);
  EXPECT_NE(err.find("/no/such/model.onnx"), std::string::npos) << err;
  EXPECT_NE(run_keeping_stderr("layers --target z80 -o " + dir, &err).status, 0);
  EXPECT_NE(err.find("z80"), std::string::npos) << err;
  EXPECT_NE(err.find("e8k1"), std::string::npos) << err;  // the targets are named
  EXPECT_FALSE(std::filesystem::exists(dir));
  // A file where the folder should be.
  const std::string file = ::testing::TempDir() + "tarq_layers_a_file";
  { std::ofstream(file) << "x"; }
  EXPECT_EQ(run_keeping_stderr("layers -o " + file, &err).status, 2);
  EXPECT_NE(err.find("as the output folder"), std::string::npos) << err;
  EXPECT_EQ(run_keeping_stderr("layers -o " + file + "/sub", &err).status, 2);
  std::remove(file.c_str());
  EXPECT_NE(run("layers").status, 0);  // -o is required
}

TEST(TarqIrInfo, CostFiguresAndOperatorMix) {
  ToolRun r = run("info --json");
  ASSERT_EQ(r.status, 0);
  auto j = nlohmann::ordered_json::parse(r.out);
  // 2,210 weight elements of 4 bytes.
  EXPECT_NEAR(j["params_mib"].get<double>(), 2210 * 4 / 1048576.0, 1e-12);
  // Multiply-accumulates of the example, by hand: three convolutions
  // (229,376 + 598,016 + 299,008), two batch normalizations (16,384 each),
  // three Relu (8,192 + 8,192 + 4,096), the residual Add (8,192) and the
  // Gemm (16 input elements times 160 weights = 2,560, as the counters take
  // it); two operations each.
  EXPECT_NEAR(j["tflops"].get<double>(), 2 * 1190400 / 1e12, 1e-15);
  EXPECT_FALSE(j.contains("tflops_reason"));
  std::vector<std::string> order;
  for (const auto& item : j["operators"].items()) order.push_back(item.key());
  EXPECT_EQ(order, (std::vector<std::string>{"Conv", "Relu", "BatchNormalization", "Add", "Flatten",
                                             "Gemm", "GlobalAveragePool", "MaxPool", "Softmax"}));

  // A symbolic batch size: no TFLOPs, said why, and the command still works.
  tarq::OwnerPtr owner = tarq::load_model(kExample);
  auto& model = owner->root_as<onnx::ModelProto>();
  model.mutable_graph()
      ->mutable_input(0)
      ->mutable_type()
      ->mutable_tensor_type()
      ->mutable_shape()
      ->mutable_dim(0)
      ->set_dim_param("N");
  const std::string symbolic = ::testing::TempDir() + "tarq_info_symbolic.onnx";
  tarq::save_model(model, symbolic);
  r = run("info --json " + symbolic);
  ASSERT_EQ(r.status, 0);
  j = nlohmann::ordered_json::parse(r.out);
  EXPECT_TRUE(j["tflops"].is_null());
  EXPECT_NE(j["tflops_reason"].get<std::string>().find("'input'"), std::string::npos)
      << j["tflops_reason"];
  EXPECT_NEAR(j["params_mib"].get<double>(), 2210 * 4 / 1048576.0, 1e-12);
  ToolRun text = run("info " + symbolic);
  ASSERT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("TFLOPs: n/a ("), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Parameters: 0.008 MiB"), std::string::npos) << text.out;
  std::remove(symbolic.c_str());
}
