// The parts of machine.json as JSON documents, laid out as record_text
// writes them: for the few sources that build JSON of their own around a
// record, and for the tests that look at single fields.
#pragma once

#include <nlohmann/json.hpp>

#include "machine/context.h"

namespace report {

nlohmann::ordered_json machine_json(const Machine& machine);
nlohmann::ordered_json state_json(const MachineState& state);
nlohmann::ordered_json program_json(const ProgramFile& program);

}  // namespace report
