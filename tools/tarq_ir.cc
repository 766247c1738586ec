// tarq-ir: command-line host of the graph layer.
#include <CLI/CLI.hpp>
#include <iostream>

#include "commands.h"
#include "layer_export.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/errors.h"

int main(int argc, char** argv) {
  using namespace tarq::cli;
  CLI::App app{"tarq-ir: inspect and transform ONNX models with the tarq graph layer"};
  app.require_subcommand(1);
  CommonOptions common;
  auto add_common = [&](CLI::App* sub) {
    sub->add_option("model", common.model, "ONNX model file (default: the shipped example)");
    sub->add_flag("--json", common.json, "Machine-readable output (one JSON document)");
    sub->add_flag(
        "-v,--verbose", [&](int64_t n) { common.verbosity += static_cast<int>(n); },
        "More log output (repeatable)");
    sub->add_flag(
        "-q,--quiet", [&](int64_t n) { common.verbosity -= static_cast<int>(n); },
        "Less log output (repeatable)");
  };
  auto* info = app.add_subcommand(
      "info",
      "Inputs, outputs, node and initializer counts, parameter MiB, TFLOPs and the operator mix.");
  add_common(info);
  std::string node_name;
  info->add_option("--node", node_name,
                   "Show this node's attributes, with the defaults it leaves out");
  auto* fp32 = app.add_subcommand("fp32", "Convert FLOAT16 and DOUBLE to FLOAT and save.");
  add_common(fp32);
  std::string output;
  fp32->add_option("-o,--output", output, "Where to write the converted model")->required();
  EditOutput edit_out;
  auto add_edit_output = [&](CLI::App* sub) {
    add_common(sub);
    sub->add_option("-o,--output", edit_out.path, "Where to write the result")->required();
    sub->add_option("--external-data", edit_out.external_data,
                    "Write the weights to this file beside the output (ONNX external data)");
  };
  CutOptions cut_opts;
  auto* cut =
      app.add_subcommand("cut", "Keep the sub-graph between new inputs and outputs, and save it.");
  add_edit_output(cut);
  cut->add_option("--inputs", cut_opts.inputs, "New graph inputs, comma-separated")->delimiter(',');
  cut->add_option("--outputs", cut_opts.outputs, "New graph outputs, comma-separated")
      ->delimiter(',');
  cut->add_option("--shapes", cut_opts.shapes,
                  "Shapes of new inputs, as NAME=1x3x224x224 (? for an unknown size), "
                  "comma-separated; default: the shape the model knows")
      ->delimiter(',');
  auto* sort = app.add_subcommand("sort", "Put the nodes into execution order, and save.");
  add_edit_output(sort);
  auto* clean = app.add_subcommand(
      "clean",
      "Remove dead nodes and unused inputs, initializers and value information, and save.");
  add_edit_output(clean);
  int64_t batch = 0;
  auto* expand = app.add_subcommand(
      "expand-batch",
      "Rebuild the model for N samples per run, and save it (exit 1 if it cannot).");
  add_edit_output(expand);
  expand->add_option("batch", batch, "Samples per run")->required();
  ShapesOptions shapes_opts;
  auto* shapes = app.add_subcommand(
      "shapes", "The shape of every tensor under each input-shape configuration.");
  add_common(shapes);
  shapes
      ->add_option("--config", shapes_opts.configs, "One configuration's input shape, 1x3x224x224")
      ->required();
  shapes->add_option("--input", shapes_opts.input,
                     "The graph input the configurations set (default: the only one)");
  LayerOptions layer_opts;
  std::string layers_dir, report_out;
  auto add_layer_options = [&](CLI::App* sub) {
    add_common(sub);
    sub->add_flag("--fuse", layer_opts.fuse,
                  "One layer for a producer and its single consumer where the target fuses them");
    sub->add_option("--target", layer_opts.target, "NPU target whose fusion rules apply")
        ->check(CLI::IsMember(tarq::npu_targets))
        ->capture_default_str();
  };
  auto* layers = app.add_subcommand(
      "layers",
      "Cut the model into the layers the NPU compiler takes: DIR/layer_<id>.onnx, one complete "
      "model per layer, and DIR/layers.json (nodes, inputs, outputs, freeable tensors, readers).");
  add_layer_options(layers);
  layers->add_option("-o,--output", layers_dir, "Folder to write into (created when missing)")
      ->required();
  auto* report = app.add_subcommand(
      "report",
      "Write one self-contained HTML page: summary, operator mix, multiply-accumulates per "
      "layer and activation memory over the layers.");
  add_layer_options(report);
  report->add_option("-o,--output", report_out, "The HTML file to write")->required();
  CLI11_PARSE(app, argc, argv);

  if (common.model.empty()) common.model = default_model_path(argv[0]);
  tarq::TarqLog::set_sink([&](tarq::LogLevel level, const std::string& text) {
    static const char letters[] = {'E', 'W', 'D', 'I'};
    int rank = level == tarq::LogLevel::kError ? -1 : level == tarq::LogLevel::kWarning ? 0 : 1;
    if (level == tarq::LogLevel::kDebug) rank = 2;
    if (rank <= common.verbosity)
      std::cerr << letters[static_cast<int>(level)] << ' ' << text << '\n';
  });
  try {
    if (*info) return node_name.empty() ? run_info(common) : run_node_info(common, node_name);
    if (*fp32) return run_fp32(common, output);
    if (*cut) return run_cut(common, cut_opts, edit_out);
    if (*sort) return run_sort(common, edit_out);
    if (*clean) return run_clean(common, edit_out);
    if (*expand) return run_expand_batch(common, batch, edit_out);
    if (*shapes) return run_shapes(common, shapes_opts);
    if (*layers) return run_layers(common, layer_opts, layers_dir);
    if (*report) return run_report(common, layer_opts, report_out);
  } catch (const OutputError& e) {
    std::cerr << "tarq-ir: " << e.what()
              << "\n  hint: the output's folder must exist and be writable\n";
    return 2;
  } catch (const tarq::FileError& e) {
    std::cerr << "tarq-ir: " << e.what() << "\n  hint: check the path; name a model file, or none "
              << "for the shipped example\n";
    return 2;
  } catch (const tarq::KeyError& e) {
    std::cerr << "tarq-ir: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "tarq-ir: " << e.what() << "\n  hint: is this an ONNX model? "
              << "`tarq-ir info -v MODEL` shows the graph layer's reports\n";
    return 1;
  }
  return 0;
}
