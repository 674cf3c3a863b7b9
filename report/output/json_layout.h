// The layout of pretty-printed JSON, two spaces a level: the commas, line
// breaks and indentation between members and elements, as nlohmann's
// dump(2) lays a document out. The writers that stream a large document into
// a string (export, compare) take it and format the values themselves.
#pragma once

#include <string>
#include <string_view>

#include "output/text.h"

namespace report {

class JsonLayout {
public:
    // Writes into `out`, its containers opened `depth` levels deep.
    JsonLayout(std::string& out, int depth) : out_(out), depth_(depth) {}

    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array() { open('['); }
    void end_array() { close(']'); }
    // The next member's name.
    void key(std::string_view name) {
        item();
        append_json_string(out_, name);
        out_ += ": ";
        pending_key_ = true;
    }

protected:
    std::string& out_;

    // Before a value: the comma and line break after the one before it, or
    // nothing when it is a member's value, on its name's line.
    void item() {
        if (pending_key_) {
            pending_key_ = false;
            return;
        }
        if (!first_)
            out_ += ',';
        if (depth_ > 0 || !first_)
            newline();
        first_ = false;
    }
    int depth() const { return depth_; }

private:
    int depth_;
    bool first_ = true;         // nothing yet in the innermost container
    bool pending_key_ = false;  // a name was written; its value follows on the line

    void newline() {
        out_ += '\n';
        out_.append(static_cast<std::size_t>(depth_) * 2, ' ');
    }
    void open(char bracket) {
        item();
        out_ += bracket;
        ++depth_;
        first_ = true;
    }
    void close(char bracket) {
        --depth_;
        if (!first_)
            newline();
        out_ += bracket;
        first_ = false;
    }
};

}  // namespace report
