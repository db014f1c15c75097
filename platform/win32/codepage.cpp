#include "platform/codepage.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace platform_win32 {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// One iconv descriptor per call: descriptors carry state and are not shared
// between threads.
class Converter {
public:
    Converter() : cd_(iconv_open("UTF-8", "CP932")) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

}  // namespace

std::string cp932ToUtf8(const std::string& text) {
    const std::string input = text.substr(0, text.find('\0'));
    std::string out;
    Converter converter;
    if (!converter.ok()) {
        // No CP932 tables: keep ASCII, mark everything else.
        for (unsigned char c : input) out += c < 0x80 ? std::string(1, static_cast<char>(c)) : kReplacement;
        return out;
    }
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    char buffer[256];
    while (inLeft > 0) {
        char* dst = buffer;
        size_t dstLeft = sizeof(buffer);
        const size_t r = iconv(converter.get(), &in, &inLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<size_t>(dst - buffer));
        if (r != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ: an invalid byte, skipped; EINVAL: a lead byte cut off at the end.
        out += kReplacement;
        ++in;
        --inLeft;
        iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

}  // namespace platform_win32
