// Which signed values a profile's entitlements permit.
#include <gtest/gtest.h>

#include "engine/QFEntitlements.h"

namespace plist = platform::plist;

TEST(EntitlementsAllowlist, ProfileValuesPermitWhatTheyShould) {
    using plist::Array;
    struct Case {
        const char* what;
        plist::Value allowed, claimed;
        bool permitted;
    };
    const Case cases[] = {
        {"a lone star permits any text", "*", "applinks:example.com", true},
        {"a trailing star permits the same start", "TEAM.*", "TEAM.com.example.shared", true},
        {"a trailing star wants the whole start", "TEAM.*", "TEAMX.com.example", false},
        {"the start alone is permitted", "TEAM.*", "TEAM.", true},
        {"a star inside is no pattern", "TEAM.*.x", "TEAM.a.x", false},
        {"plain text permits itself only", "development", "production", false},
        {"a list of patterns permits each entry of a list", Array{"TEAM.*"}, Array{"TEAM.a", "TEAM.b"}, true},
        {"one entry outside spoils the list", Array{"TEAM.*"}, Array{"TEAM.a", "OTHER.b"}, false},
        {"a list permits a text that fits one entry", Array{"Development", "Production"}, "Production", true},
        {"a concrete list permits only its entries", Array{"group.a"}, Array{"group.b"}, false},
        {"a pattern text permits a list", "*", Array{"applinks:a", "webcredentials:a"}, true},
        {"true permits false", true, false, true},
        {"false does not permit true", false, true, false},
        {"a boolean is not text", "*", true, false},
        {"other values must be equal", plist::Value(int64_t{1}), plist::Value(int64_t{2}), false},
    };
    for (const auto& c : cases) EXPECT_EQ(engine::permits(c.allowed, c.claimed), c.permitted) << c.what;
}
