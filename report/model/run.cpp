#include "model/run.h"

namespace report {

const char* program_name(Program p) {
    return p == Program::processors ? "bench_processors" : "bench_memory";
}

}  // namespace report
