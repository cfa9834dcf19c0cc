// A small bounded JSON writer whose number and string forms are exactly those
// of the reference writer the snapshot format was defined with: shortest
// round-trip reals, plain decimal integers, minimal string escapes, strict UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace linkrate {

class JsonWriter {
public:
    JsonWriter(char* buf, std::size_t cap) : buf_(buf), cap_(cap) {}

    // Appends punctuation or a key-free token verbatim.
    void raw(std::string_view text);
    // Appends a real; fails the writer on NaN or infinity.
    void real(double value);
    void integer(std::int64_t value);
    // Appends a quoted, escaped string; fails the writer on invalid UTF-8.
    void string(const char* text, std::size_t length);

    // False once any append failed or did not fit; later appends do nothing.
    bool ok() const { return ok_; }
    std::size_t size() const { return len_; }

private:
    bool reserve(std::size_t n);

    char* buf_;
    std::size_t cap_;
    std::size_t len_ = 0;
    bool ok_ = true;
};

}  // namespace linkrate
