#include <gtest/gtest.h>

#include "platform/plist.h"

using namespace platform::plist;

namespace {
Value sample() {
    Dict nested{{"flag", Value(true)}, {"list", Value(Array{Value("a"), Value(int64_t{-129})})}};
    return Value(Dict{
        {"CFBundleIdentifier", Value("com.example.app")},
        {"Name", Value("J\xC3\xBCrgen & <Co>")},
        {"Version", Value(int64_t{1})},
        {"Weight", Value(1000.0)},
        {"Blob", Value(Data{std::string("\x00\x01\xFF", 3)})},
        {"When", Value(Date(std::chrono::seconds(1700000000)))},
        {"Nested", Value(nested)},
        {"Empty", Value(Array{})},
    });
}
}  // namespace

TEST(Plist, XmlAndBinaryRoundTrip) {
    Value v = sample();
    auto fromXml = parse(toXml(v));
    ASSERT_TRUE(fromXml);
    EXPECT_EQ(*fromXml, v);
    std::string bin = toBinary(v);
    EXPECT_EQ(bin.substr(0, 8), "bplist00");
    auto fromBin = parse(bin);
    ASSERT_TRUE(fromBin);
    EXPECT_EQ(*fromBin, v);
}

TEST(Plist, WriterLaysOutLikeThePlatformWriter) {
    Value v(Dict{{"b", Value(1000.0)}, {"a", Value(true)}, {"e", Value(Dict{})}});
    EXPECT_EQ(toXml(v),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\">\n"
              "<dict>\n"
              "\t<key>a</key>\n"
              "\t<true/>\n"
              "\t<key>b</key>\n"
              "\t<real>1000</real>\n"
              "\t<key>e</key>\n"
              "\t<dict/>\n"
              "</dict>\n"
              "</plist>\n");
}

TEST(Plist, DatesCountFromTheUnixEpochInTheModel) {
    auto v = parse("<?xml version=\"1.0\"?><plist version=\"1.0\"><date>2030-01-01T00:00:00Z</date></plist>");
    ASSERT_TRUE(v && v->asDate());
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(v->asDate()->time_since_epoch()).count(), 1893456000);
}

TEST(Plist, BrokenInputGivesNothing) {
    EXPECT_FALSE(parse(""));
    EXPECT_FALSE(parse("not a plist"));
    EXPECT_FALSE(parse("<plist><dict><key>a</key>"));
    EXPECT_FALSE(parse(std::string("bplist00\xFF\xFF\xFF", 11)));
    auto notDict = parse("<plist version=\"1.0\"><string>x</string></plist>");
    ASSERT_TRUE(notDict);
    EXPECT_EQ(notDict->asDict(), nullptr);
    EXPECT_EQ(notDict->get("x"), nullptr);
}

// What libplist would abort on, overflow its stack with, or expand past any
// memory is refused before it parses; the same shapes within bounds parse.
TEST(Plist, InputsLibplistCannotTakeAreRefused) {
    auto nested = [](int depth, bool binary) {
        Value v = Array{};
        for (int i = 1; i < depth; ++i) v = Array{v};
        return binary ? toBinary(v) : toXml(v);
    };
    for (bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "XML");
        EXPECT_TRUE(parse(nested(250, binary)));
        EXPECT_FALSE(parse(nested(300, binary)));
    }
    // A comment cannot hide the nesting.
    std::string hidden = "<plist>";
    for (int i = 0; i < 300; ++i) hidden += "<array><!--</array>-->";
    for (int i = 0; i < 300; ++i) hidden += "</array>";
    EXPECT_FALSE(parse(hidden + "</plist>"));
    EXPECT_FALSE(parse(std::string("<plist><dict><key>a\0b</key><true/></dict></plist>", 47)));
    // bplist00 "a\0b": one ASCII string object holding a NUL.
    std::string nul("bplist00\x53" "a\0b", 12);
    nul += std::string("\x08", 1) + std::string(6, '\0') + "\x01\x01" + std::string(7, '\0') + "\x01" +
           std::string(8, '\0') + std::string(7, '\0') + "\x0c";
    EXPECT_FALSE(parse(nul));
    nul[10] = 'x';
    EXPECT_TRUE(parse(nul));
}
