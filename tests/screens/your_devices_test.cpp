// SPDX-License-Identifier: Apache-2.0
// The screen of the user's own devices, walked through its actions against a scripted service,
// in English and in German.
#include "support/own_devices_fixture.hpp"

#include <zelk/your_devices.hpp>

#include <set>

namespace zelk::testing {
namespace {

using nlohmann::json;

class YourDevicesTest : public OwnDevicesTest {
 protected:
  void SetUp() override {
    // Fixed texts for the dates of the rows, whatever the machine's locale and zone.
    setDateFormatter([](Date date) { return iso8601Full().string(date).substr(0, 10); });
    service.addDevice(OwnDevicesService::device("dev-mac", "computer", "MacBook Pro",
                                                "2026-12-07T08:00:00.000Z", std::nullopt, "France"),
                      "2027-02-01T00:00:00.000Z");
    service.addDevice(OwnDevicesService::device("dev-tab", "tablet", "iPad Air"), std::nullopt,
                      "K7QM-2XD9");
  }
  void TearDown() override {
    OwnDevicesTest::TearDown();
    setDateFormatter({});
    stopBuiltinTranslations();
  }

  std::shared_ptr<YourDevicesView> loadedScreen() {
    zelk = attachedClient();
    auto screen = YourDevicesView::create(zelk);
    EXPECT_TRUE(screen->loading());
    EXPECT_TRUE(waitFor([&] { return !screen->loading(); }));
    return screen;
  }

  // Performs `action` and waits for the screen to settle.
  bool perform(YourDevicesView& screen, std::string_view action) {
    const bool ran = screen.perform(action);
    EXPECT_TRUE(waitFor([&] { return !screen.loading() && !screen.signingOut(); }));
    return ran;
  }

  static std::string plain(const YourDevicesView& screen) { return plainText(screen.elements()); }

  std::shared_ptr<Zelk> zelk;
};

TEST_F(YourDevicesTest, ShowsEveryDeviceWithItsMarkersThisOneFirst) {
  zelk = attachedClient();
  const auto screen = YourDevicesView::create(zelk);
  EXPECT_EQ(plain(*screen).substr(0, 52),
            "text title bold: Your devices\nprogress\ndivider\ntext ");
  ASSERT_TRUE(waitFor([&] { return !screen->loading(); }));
  ASSERT_EQ(screen->devices().size(), 3u);
  EXPECT_EQ(
      plain(*screen),
      "text title bold: Your devices\n"
      "list\n"
      "  row { image title [iphone] | column { text bold: iPhone | text caption in secondary: "
      "Phone · Berlin, Germany | text caption in secondary: First seen: 2026-11-01 | text caption "
      "in secondary: Last seen: 2026-12-08 | row { badge caption in white on blue: This device } "
      "} | spacer }\n"
      "  row { image title [laptopcomputer] | column { text bold: MacBook Pro | text caption in "
      "secondary: Computer · France | text caption in secondary: First seen: 2026-11-01 | text "
      "caption in secondary: Last seen: 2026-12-07 | row { badge caption in #FF19692C on "
      "#FFD4EDDA: Trusted } } | spacer | button subheadline medium in red: Sign out -> "
      "signOut:dev-mac }\n"
      "  row { image title [ipad.landscape] | column { text bold: iPad Air | text caption in "
      "secondary: Tablet | text caption in secondary: First seen: 2026-11-01 | text caption in "
      "secondary: Last seen: 2026-12-08 } | spacer | button subheadline medium in red: Sign out "
      "-> signOut:dev-tab }\n"
      "divider\n"
      "text in secondary: Got an e-mail about a new device? Enter its code to sign that device "
      "out.\n"
      "textField \"Code from the e-mail\" -> code\n"
      "button bold disabled in white on secondary: Sign out with code -> signOutWithCode\n"
      "spacer\n"
      "button subheadline medium in blue: Refresh -> refresh\n");
  // This device has no sign-out of its own here.
  EXPECT_FALSE(screen->perform("signOut:dev-current"));
  screen->askToSignOut(OwnDevicesService::kDevice);
  EXPECT_EQ(screen->confirming(), "");
}

TEST_F(YourDevicesTest, SigningOutAsksFirstAndThenReloadsTheList) {
  const auto screen = loadedScreen();
  EXPECT_FALSE(screen->perform("confirm:dev-tab"));  // nothing asked yet
  EXPECT_TRUE(perform(*screen, "signOut:dev-tab"));
  EXPECT_EQ(screen->confirming(), "dev-tab");
  EXPECT_NE(plain(*screen).find("column { text subheadline: Sign out this device? | row { button "
                                "subheadline medium in secondary: Cancel -> cancel | button "
                                "subheadline medium in red: Sign out -> confirm:dev-tab } }"),
            std::string::npos)
      << plain(*screen);
  EXPECT_TRUE(perform(*screen, "cancel"));
  EXPECT_EQ(screen->confirming(), "");
  EXPECT_EQ(service.deviceIDs().size(), 3u);

  EXPECT_TRUE(perform(*screen, "signOut:dev-tab"));
  EXPECT_TRUE(perform(*screen, "confirm:dev-tab"));
  EXPECT_EQ(service.bodies("/v2/access/devices/logout").back()["target"], "dev-tab");
  EXPECT_EQ(service.deviceIDs(), (std::vector<std::string>{"dev-current", "dev-mac"}));
  ASSERT_EQ(screen->devices().size(), 2u);
  EXPECT_EQ(screen->confirming(), "");
  EXPECT_EQ(screen->problem(), "");
  EXPECT_EQ(service.bodies("/v2/access/devices").size(), 2u);  // loaded again
}

TEST_F(YourDevicesTest, ACodeFromTheEmailSignsItsDeviceOut) {
  const auto screen = loadedScreen();
  EXPECT_FALSE(screen->perform("signOutWithCode"));  // no code yet
  screen->codeChanged("AAAA-BBBB");
  EXPECT_TRUE(perform(*screen, "signOutWithCode"));
  EXPECT_EQ(screen->problem(), "That code is not valid.");
  EXPECT_EQ(screen->code(), "AAAA-BBBB");  // kept, to be corrected
  EXPECT_NE(plain(*screen).find("text in red: That code is not valid.\n"), std::string::npos);

  screen->codeChanged(" K7QM-2XD9 ");
  EXPECT_TRUE(perform(*screen, "signOutWithCode"));
  EXPECT_EQ(service.bodies("/v2/access/devices/logout").back()["code"], "K7QM-2XD9");
  EXPECT_EQ(screen->problem(), "");
  EXPECT_EQ(screen->code(), "");
  EXPECT_EQ(screen->devices().size(), 2u);
  EXPECT_EQ(service.deviceIDs(), (std::vector<std::string>{"dev-current", "dev-mac"}));
}

TEST_F(YourDevicesTest, RefusalsSayWhyAndTheCapSaysWhen) {
  const auto screen = loadedScreen();
  service.queueReply(409, R"({"error": "You can change devices again on 2027-01-08.",
                              "next_change_at": "2027-01-08T12:00:00.000Z"})");
  perform(*screen, "signOut:dev-mac");
  perform(*screen, "confirm:dev-mac");
  EXPECT_EQ(screen->nextChangeText(), "You can change devices again on January 8, 2027.");
  EXPECT_EQ(screen->problem(), "");
  EXPECT_EQ(screen->confirming(), "");
  EXPECT_NE(
      plain(*screen).find("text in secondary: You can change devices again on January 8, 2027.\n"),
      std::string::npos);

  service.queueReply(404, R"({"error": "unknown device"})");
  perform(*screen, "signOut:dev-mac");
  perform(*screen, "confirm:dev-mac");
  EXPECT_EQ(screen->problem(), "That device is not signed in to your account.");

  service.queueReply(429, R"({"error": "too many requests"})");
  perform(*screen, "signOut:dev-mac");
  perform(*screen, "confirm:dev-mac");
  EXPECT_EQ(screen->problem(), "Too many attempts. Please try again later.");

  service.queueReply(401, R"({"error": "unknown access"})");
  perform(*screen, "refresh");
  EXPECT_EQ(screen->problem(), "This device is no longer signed in.");
  EXPECT_EQ(screen->devices().size(), 3u);  // the last list stays
}

TEST_F(YourDevicesTest, AListWhoseCapIsUsedUpSaysWhenTheNextChangeIsAllowed) {
  service.setSwaps(json{
      {"limit", 4}, {"days", 30}, {"used", 4}, {"next_change_at", "2027-03-15T12:00:00.000Z"}});
  const auto screen = loadedScreen();
  ASSERT_TRUE(screen->swaps());
  EXPECT_EQ(screen->nextChangeText(), "You can change devices again on March 15, 2027.");
  service.setSwaps(json{{"limit", 4}, {"days", 30}, {"used", 3}});
  perform(*screen, "refresh");
  EXPECT_EQ(screen->nextChangeText(), "");
}

TEST_F(YourDevicesTest, WithoutASignedInDeviceItSaysSo) {
  zelk = makeClient();
  const auto screen = YourDevicesView::create(zelk);
  EXPECT_FALSE(screen->loading());  // refused at once
  EXPECT_EQ(screen->problem(), "This device is no longer signed in.");
  EXPECT_TRUE(service.requests().empty());
}

TEST_F(YourDevicesTest, InGermanEveryTextAndTheDayAreGerman) {
  useBuiltinTranslations("de_DE.UTF-8");
  const auto screen = loadedScreen();
  const std::string shown = plain(*screen);
  for (const char* text :
       {"text title bold: Ihre Geräte\n", "Smartphone · Berlin, Germany",
        "Zuerst gesehen: 2026-11-01", "Zuletzt gesehen: 2026-12-08",
        "badge caption in white on blue: Dieses Gerät", "on #FFD4EDDA: Vertrauenswürdig",
        "Abmelden -> signOut:dev-mac", "textField \"Code aus der E-Mail\" -> code",
        "Mit Code abmelden", "Aktualisieren -> refresh"}) {
    EXPECT_NE(shown.find(text), std::string::npos) << text << "\n" << shown;
  }
  perform(*screen, "signOut:dev-mac");
  EXPECT_NE(plain(*screen).find("Dieses Gerät abmelden? | row { button subheadline medium in "
                                "secondary: Abbrechen -> cancel"),
            std::string::npos);
  service.queueReply(409, R"({"error": "You can change devices again on 2027-01-08.",
                              "next_change_at": "2027-01-08T12:00:00.000Z"})");
  perform(*screen, "confirm:dev-mac");
  EXPECT_EQ(screen->nextChangeText(), "Sie können Geräte ab dem 8. Januar 2027 wieder wechseln.");
  screen->codeChanged("AAAA-BBBB");
  perform(*screen, "signOutWithCode");
  EXPECT_EQ(screen->problem(), "Dieser Code ist ungültig.");
}

TEST_F(YourDevicesTest, EveryTextItAsksForIsInTheBuiltInCatalogue) {
  std::set<std::string> asked;
  setLocalizer([&asked](std::string_view key) {
    asked.emplace(key);
    return std::string(key);
  });
  service.setSwaps(json{
      {"limit", 1}, {"days", 30}, {"used", 1}, {"next_change_at", "2027-03-15T12:00:00.000Z"}});
  const auto screen = loadedScreen();
  screen->elements();
  perform(*screen, "signOut:dev-mac");
  screen->elements();
  service.queueReply(500, "{}");
  perform(*screen, "confirm:dev-mac");
  screen->elements();
  setLocalizer({});
  EXPECT_GE(asked.size(), 15u);
  const auto keys = screenTextKeys();
  for (const std::string& key : asked) {
    EXPECT_NE(std::find(keys.begin(), keys.end(), key), keys.end()) << key;
  }
  EXPECT_EQ(screen->problem(), "Could not sign the device out.");
}

}  // namespace
}  // namespace zelk::testing
