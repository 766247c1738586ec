// How deeply a message nests. Protobuf and ONNX walk nested messages
// recursively (copying, comparing, printing, serializing, checking,
// inferring shapes), a stack frame or more per level, so a model nested
// thousands of subgraphs deep, which the message views can build in memory,
// would overflow the stack. Such messages are refused beyond kMaxNesting
// levels, the root counting as one: protobuf's parser reads the root and 100
// levels below it, so every model that can be read from a file passes
// (about 30 levels of subgraphs inside subgraphs).
#pragma once

namespace google::protobuf {
class Message;
}

namespace tarq {

constexpr int kMaxNesting = 101;

// Levels of nested messages (1 for a message without sub-messages), counted
// without recursion; the count stops soon after passing `limit`.
int nesting_depth(const google::protobuf::Message& m, int limit = kMaxNesting);

// Throws ValueError when `m` nests deeper than kMaxNesting levels; `what`
// names it in the message ("the model", "the node", ...).
void check_nesting(const google::protobuf::Message& m, const char* what);

// Deletes a message tree without recursion when it nests deeper than
// kMaxNesting (releasing children from their parents first), plainly
// otherwise.
void delete_message(google::protobuf::Message* m);

}  // namespace tarq
