// What a comparison says of a figure against its baseline, and so how a
// table shows it: one set of marks for the model and every view.
#pragma once

namespace report {

// `none`: the baseline's own column, or a figure that cannot be compared.
enum class Mark { none, better, worse, same };

}  // namespace report
