// The two pickers and the controller as their data source.
#include <gtest/gtest.h>

#include "FakeView.h"
#include "profile/QFProvisioningProfile.h"

using fakeview::View;

namespace {
std::shared_ptr<QFProvisioningProfile> profile(std::optional<std::string> name, std::optional<std::string> bundleId,
                                               std::optional<std::string> path = std::nullopt) {
    auto p = std::make_shared<QFProvisioningProfile>(std::nullopt);
    p->setName(std::move(name));
    p->setBundleIdentifier(std::move(bundleId));
    p->setPath(std::move(path));
    return p;
}
}  // namespace

TEST(Pickers, EachPickerAnswersFromItsOwnList) {
    View view;
    auto& c = *view.controller;
    fakeview::ComboBox stranger("stranger", view.journal);

    EXPECT_EQ(c.numberOfItemsInComboBox(&view.certificateComboBox), 0);
    EXPECT_EQ(c.numberOfItemsInComboBox(&view.provisioningComboBox), 0);

    c.setCertificatesArray({"Apple Development: Jane (X) [team]", "  spaced  "});
    c.setProvisioningArray({profile("Same", "com.same"), profile("Same", "com.same"), profile("Wild", "*")});

    EXPECT_EQ(c.numberOfItemsInComboBox(&view.certificateComboBox), 2);
    EXPECT_EQ(c.numberOfItemsInComboBox(&view.provisioningComboBox), 3);
    EXPECT_EQ(c.numberOfItemsInComboBox(&stranger), 0);
    EXPECT_EQ(c.numberOfItemsInComboBox(nullptr), 0);

    // Identities exactly as delivered: they go to the signer unchanged.
    EXPECT_EQ(c.comboBox(&view.certificateComboBox, 0), "Apple Development: Jane (X) [team]");
    EXPECT_EQ(c.comboBox(&view.certificateComboBox, 1), "  spaced  ");
    EXPECT_EQ(c.comboBox(&view.provisioningComboBox, 0), "Same (com.same)");
    EXPECT_EQ(c.comboBox(&view.provisioningComboBox, 1), "Same (com.same)");
    EXPECT_EQ(c.comboBox(&view.provisioningComboBox, 2), "Wild (*)");
    EXPECT_EQ(c.comboBox(&stranger, 0), std::nullopt);
    EXPECT_EQ(c.comboBox(&view.provisioningComboBox, 3), std::nullopt);
    EXPECT_EQ(c.comboBox(&view.certificateComboBox, -1), std::nullopt);
}

TEST(Pickers, ProfileThatCouldNotBeDecodedStillGetsARecognisableItem) {
    auto broken = profile(std::nullopt, std::nullopt, "/p/Library/MobileDevice/Provisioning Profiles/bad.mobileprovision");
    EXPECT_EQ(ViewController::pickerItemForProfile(*broken), "bad.mobileprovision (no bundle identifier)");
    EXPECT_EQ(ViewController::pickerItemForProfile(*profile("N", std::nullopt)), "N (no bundle identifier)");
}
