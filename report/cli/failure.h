// How a command fails: the failure of every layer (model/failure.h), returned
// from where it is found up to main, which says the message and exits with
// the status; and how a command that goes on after a failure says it.
#pragma once

#include "model/failure.h"

namespace report {

// How a command, or a step of one, ended: nothing when it did all it was
// asked, else its failure.
using Result = std::optional<Failed>;

// Says `failure`'s message now, for a command that goes on after it (more
// lines follow that must come after this one); what is left is its status.
Failed said(Failed failure);

// The outcome of a command that went on past `earlier` and then met `later`:
// the earlier failure's status stands (an input that could not be read
// outweighs a gate's verdict on the rest); the later one's message is still
// said, now.
Result first_of(Result earlier, Result later);

}  // namespace report
