#include <gtest/gtest.h>

#include <iconv.h>

#include <cstring>
#include <string>

#include "host/callbacks.h"
#include "host/filter_table.h"

namespace {

// Code page 932 to UTF-8; fails the test on a byte sequence that is not CP932.
std::string fromCp932(const char* text) {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << "no CP932 converter";
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string in(text), out(in.size() * 4 + 4, '\0');
    char* src = &in[0];
    char* dst = &out[0];
    size_t inLeft = in.size(), outLeft = out.size();
    const size_t rc = iconv(cd, &src, &inLeft, &dst, &outLeft);
    iconv_close(cd);
    EXPECT_NE(rc, static_cast<size_t>(-1)) << "not code page 932: " << text;
    out.resize(out.size() - outLeft);
    return out;
}

TEST(FilterTableTest, ExportReturnsTheOneDescriptor) {
    FilterTable* first = GetFilterTable();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetFilterTable(), first);
}

TEST(FilterTableTest, ScalarWordsAndCallbacks) {
    const FilterTable& t = *GetFilterTable();
    EXPECT_EQ(t.flagWord, 0x08040000u);
    EXPECT_EQ(t.windowWidth, 0);
    EXPECT_EQ(t.windowHeight, 0);
    EXPECT_EQ(t.trackCount, 6);
    EXPECT_EQ(t.checkCount, 0);
    EXPECT_EQ(t.onProcess, &onProcess);
    EXPECT_EQ(t.onInit, &onInit);
    EXPECT_EQ(t.onExit, &onExit);
    EXPECT_EQ(t.onWindowMessage, &onWindowMessage);
    EXPECT_EQ(t.reserved60, nullptr);
    for (void* word : t.reserved72) EXPECT_EQ(word, nullptr);
    for (void* word : t.reserved88) EXPECT_EQ(word, nullptr);
    for (void* word : t.reserved104) EXPECT_EQ(word, nullptr);
}

TEST(FilterTableTest, TrackLimitsAndDefaults) {
    const FilterTable& t = *GetFilterTable();
    const int32_t defaults[] = {3, 1, 50, 3, 1, 50};
    const int32_t maxima[] = {16, 7, 100, 16, 7, 100};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(t.trackDefaults[i], defaults[i]) << "track " << i;
        EXPECT_EQ(t.trackMinima[i], 0) << "track " << i;
        EXPECT_EQ(t.trackMaxima[i], maxima[i]) << "track " << i;
    }
    ASSERT_NE(t.checkDefaults, nullptr);
    EXPECT_EQ(t.checkDefaults[0], 0);
}

TEST(FilterTableTest, TextsAreCodePage932) {
    const FilterTable& t = *GetFilterTable();
    struct Case { const char* what; const char* cp932; const char* utf8; };
    const Case cases[] = {
        {"filterName", t.filterName, u8"Quendaフィルタ for DX11"},
        {"infoText", t.infoText, u8"Quendaフィルタ for DX11 ver 1.13"},
        {"track 0", t.trackNames[0], u8"輝度空間範囲"},
        {"track 1", t.trackNames[1], u8"輝度時間範囲"},
        {"track 2", t.trackNames[2], u8"輝度分散"},
        {"track 3", t.trackNames[3], u8"色差空間範囲"},
        {"track 4", t.trackNames[4], u8"色差時間範囲"},
        {"track 5", t.trackNames[5], u8"色差分散"},
        {"check 0", t.checkNames[0], u8"ダミー"},
    };
    for (const Case& c : cases) {
        ASSERT_NE(c.cp932, nullptr) << c.what;
        EXPECT_EQ(fromCp932(c.cp932), c.utf8) << c.what;
        // Shift_JIS here is two bytes per Japanese character, never UTF-8's three.
        EXPECT_LT(std::strlen(c.cp932), std::strlen(c.utf8)) << c.what;
    }
}

}  // namespace
