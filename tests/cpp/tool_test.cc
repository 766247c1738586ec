// tarq-ir, run as a user runs it.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace {

struct ToolRun {
  int status;
  std::string out;
};

ToolRun run(const std::string& args) {
  std::string cmd = std::string(TARQ_IR_BIN) + " " + args + " 2>/dev/null";
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
