#include "frame/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace linkrate {

namespace {

// Longest scientific form std::to_chars gives for a double: "-d.dddddddddddddddde-ddd".
constexpr std::size_t kSciBufSize = 32;
// Longest rendered real: a sign, "0.", five zeros and seventeen digits.
constexpr std::size_t kRealBufSize = 32;

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Returns the length of the strict UTF-8 sequence starting at s[0], or 0 when the
// bytes there are not one (overlong, surrogate, above U+10FFFF, stray or cut).
std::size_t utf8_sequence_length(const unsigned char* s, std::size_t avail) {
    const unsigned char lead = s[0];
    if (lead < 0x80) return 1;

    std::size_t need;
    unsigned char lo = 0x80;  // Bounds for the second byte; later ones are 0x80-0xBF.
    unsigned char hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0) lo = 0xA0;  // Excludes overlong three-byte forms.
        if (lead == 0xED) hi = 0x9F;  // Excludes the surrogates U+D800-U+DFFF.
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0) lo = 0x90;  // Excludes overlong four-byte forms.
        if (lead == 0xF4) hi = 0x8F;  // Excludes code points above U+10FFFF.
    } else {
        return 0;
    }
    if (avail < need) return 0;
    if (s[1] < lo || s[1] > hi) return 0;
    for (std::size_t i = 2; i < need; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF) return 0;
    }
    return need;
}

// The short escape for a byte, or 0 when it has none.
char short_escape(unsigned char c) {
    switch (c) {
        case '"':
            return '"';
        case '\\':
            return '\\';
        case 0x08:
            return 'b';
        case 0x09:
            return 't';
        case 0x0A:
            return 'n';
        case 0x0C:
            return 'f';
        case 0x0D:
            return 'r';
        default:
            return 0;
    }
}

// Writes `value` (finite) into out in the reference notation and returns its length.
std::size_t format_real(double value, char* out) {
    char sci[kSciBufSize];
    // Scientific form keeps the shortest round-trip digits and an explicit
    // exponent, which is easier to reshape than the free-choice form.
    const auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    const char* p = sci;
    const char* end = res.ptr;

    std::size_t n = 0;
    if (*p == '-') {
        out[n++] = '-';
        ++p;
    }

    char digits[20];
    std::size_t ndigits = 0;
    while (p < end && *p != 'e') {
        if (*p != '.') digits[ndigits++] = *p;
        ++p;
    }
    int exp = 0;
    std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exp);

    if (exp >= -6 && exp <= 20) {
        if (exp >= 0) {
            const auto whole = static_cast<std::size_t>(exp) + 1;
            for (std::size_t i = 0; i < whole; ++i) out[n++] = i < ndigits ? digits[i] : '0';
            out[n++] = '.';
            if (ndigits > whole) {
                for (std::size_t i = whole; i < ndigits; ++i) out[n++] = digits[i];
            } else {
                out[n++] = '0';
            }
        } else {
            out[n++] = '0';
            out[n++] = '.';
            for (int i = -1; i > exp; --i) out[n++] = '0';
            for (std::size_t i = 0; i < ndigits; ++i) out[n++] = digits[i];
        }
        return n;
    }

    out[n++] = digits[0];
    if (ndigits > 1) {
        out[n++] = '.';
        for (std::size_t i = 1; i < ndigits; ++i) out[n++] = digits[i];
    }
    out[n++] = 'e';
    const auto exp_end = std::to_chars(out + n, out + kRealBufSize, exp).ptr;
    return static_cast<std::size_t>(exp_end - out);
}

}  // namespace

bool JsonWriter::reserve(std::size_t n) {
    if (!ok_) return false;
    if (n > cap_ - len_) {
        ok_ = false;
        return false;
    }
    return true;
}

void JsonWriter::raw(std::string_view text) {
    if (!reserve(text.size())) return;
    if (!text.empty()) std::memcpy(buf_ + len_, text.data(), text.size());
    len_ += text.size();
}

void JsonWriter::real(double value) {
    if (!ok_) return;
    if (!std::isfinite(value)) {
        ok_ = false;
        return;
    }
    char tmp[kRealBufSize];
    const std::size_t n = format_real(value, tmp);
    if (!reserve(n)) return;
    std::memcpy(buf_ + len_, tmp, n);
    len_ += n;
}

void JsonWriter::integer(std::int64_t value) {
    if (!ok_) return;
    char tmp[24];
    const auto res = std::to_chars(tmp, tmp + sizeof tmp, value);
    const auto n = static_cast<std::size_t>(res.ptr - tmp);
    if (!reserve(n)) return;
    std::memcpy(buf_ + len_, tmp, n);
    len_ += n;
}

void JsonWriter::string(const char* text, std::size_t length) {
    if (!ok_) return;
    if (text == nullptr && length != 0) {
        ok_ = false;
        return;
    }
    const auto* s = reinterpret_cast<const unsigned char*>(text);

    // A first pass validates and sizes the literal, so a failing string never
    // leaves a partial literal behind and the bound is checked once.
    std::size_t out_len = 2;
    for (std::size_t i = 0; i < length;) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            out_len += short_escape(c) != 0 ? 2u : (c < 0x20 ? 6u : 1u);
            ++i;
            continue;
        }
        const std::size_t seq = utf8_sequence_length(s + i, length - i);
        if (seq == 0) {
            ok_ = false;
            return;
        }
        out_len += seq;
        i += seq;
    }
    if (!reserve(out_len)) return;

    char* o = buf_ + len_;
    *o++ = '"';
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = s[i];
        if (const char e = short_escape(c); e != 0) {
            *o++ = '\\';
            *o++ = e;
        } else if (c < 0x20) {
            // Four bytes of a six-byte escape, not a text: no NUL belongs here.
            std::memcpy(o, "\\u00", 4);  // NOLINT(bugprone-not-null-terminated-result)
            o[4] = kHexDigits[c >> 4];
            o[5] = kHexDigits[c & 0x0F];
            o += 6;
        } else {
            *o++ = static_cast<char>(c);
        }
    }
    *o++ = '"';
    len_ += out_len;
}

}  // namespace linkrate
