#include "output/compare_formats.h"

namespace report {

namespace {

constexpr CompareFormat formats[] = {
    {"text", compare_text},
    {"json", compare_json, stream_compare_json},
    {"csv", compare_csv},
    {"markdown", compare_markdown},
    {"junit", compare_junit},
};

}  // namespace

std::span<const CompareFormat> compare_formats() {
    return formats;
}

const CompareFormat* find_compare_format(std::string_view name) {
    for (const CompareFormat& f : formats)
        if (f.name == name)
            return &f;
    return nullptr;
}

}  // namespace report
