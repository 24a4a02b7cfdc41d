// The MIB the emulated tree holds at start-up: a small FreeBSD-style tree
// (kern, vm, hw) whose values reflect the host where that is natural.
#ifndef VARKIT_PROVIDER_DEFAULT_TREE_H
#define VARKIT_PROVIDER_DEFAULT_TREE_H

#include <string>

#include "provider/emulated.h"

namespace varkit::mib {

// Empties `tree` and loads the default MIB.  Returns "" or, should a node be
// refused, why.
std::string load_default_tree(EmulatedTree &tree);

}  // namespace varkit::mib

#endif
