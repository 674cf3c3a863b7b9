#include "execution/activity.h"

#include "model/catalogue.h"

namespace report {

void Activity::see(std::string line) {
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    for (const TestInfo& info : catalogue())
        if (is_heading(info, line)) {
            test_ = info.name;
            if (!info.has_single())
                pass_ = "all threads";
        }
    if (line == "Force to be single thread.")
        pass_ = "one thread";
    else if (line == "Multi-Thread Enabled:")
        pass_ = "all threads";
}

std::string Activity::text() const {
    if (test_.empty())
        return "starting";
    return pass_.empty() ? test_ : test_ + ", " + pass_;
}

}  // namespace report
