// TARQ_VERIFY=1 in the environment (read once): every rebuild and every
// operation that edits the model and its tables ends with verify().
#pragma once

namespace tarq {

class IRGraph;

bool verify_wanted();
// Runs g.verify() when TARQ_VERIFY asks for it.
void verify_if_wanted(const IRGraph& g);

}  // namespace tarq
