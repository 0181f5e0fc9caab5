// SPDX-License-Identifier: Apache-2.0
// The challenge screens' texts, derived values and actions, without a UI toolkit.
#include "support/client_fixture.hpp"

#include <algorithm>
#include <limits>
#include <set>

namespace zelk::testing {
namespace {

DeviceLimitState limits(std::int64_t total, std::int64_t overall, AttachedDeviceTypes counts,
                        std::int64_t computerLimit = 0, std::int64_t tabletLimit = 0,
                        std::int64_t mobileLimit = 0) {
  return DeviceLimitState{AttachedDevices{total, counts}, overall, computerLimit, tabletLimit,
                          mobileLimit};
}

TEST(DevicesToLogoutTest, NamesTheExcessOfEachTypeAndTheRest) {
  EXPECT_EQ(devicesToLogout(std::nullopt), "");
  EXPECT_EQ(devicesToLogout(limits(4, 3, {})),
            "To proceed, log out of 1 device from the devices below.");
  // Five devices under an overall limit of 3, four of them mobiles under a mobile limit of 2.
  EXPECT_EQ(devicesToLogout(limits(5, 3, {std::nullopt, std::nullopt, 4}, 0, 0, 2)),
            "To proceed, log out of 2 mobiles from the devices below.");
  // With nothing to name the two spaces meet (the limiter then shows no sentence at all).
  EXPECT_EQ(devicesToLogout(limits(2, 3, {})), "To proceed, log out of  from the devices below.");
}

TEST(DevicesToLogoutTest, TypesUnderTheirLimitTakeNothingFromTheRest) {
  // Two devices, overall limit 1, every type allowed 3: one device must go, not eight.
  EXPECT_EQ(devicesToLogout(limits(2, 1, {0, 0, 2}, 3, 3, 3)),
            "To proceed, log out of 1 device from the devices below.");
  EXPECT_EQ(devicesToLogout(limits(2, 1, {std::nullopt, 1, 1}, 3, 3, 3)),
            "To proceed, log out of 1 device from the devices below.");
  // A computer limit of 5 with no computers leaves the overall excess as it is.
  EXPECT_EQ(devicesToLogout(limits(4, 3, {0, std::nullopt, 2}, 5, 0, 2)),
            "To proceed, log out of 1 device from the devices below.");
}

TEST(DevicesToLogoutTest, ATypeWithoutALimitIsNamedOnlyThroughTheOverallLimit) {
  // Two mobiles, overall limit 1, mobile limit 0 (no per-type limit): one device, not 2 mobiles.
  EXPECT_EQ(devicesToLogout(limits(2, 1, {std::nullopt, std::nullopt, 2}, 0, 0, 0)),
            "To proceed, log out of 1 device from the devices below.");
  // Negative limits read as 0 too.
  EXPECT_EQ(devicesToLogout(limits(4, 3, {std::nullopt, 4, std::nullopt}, -1, -4, -1)),
            "To proceed, log out of 1 device from the devices below.");
  EXPECT_EQ(devicesToLogout(limits(5, 3, {2, std::nullopt, 3}, 0, 0, 2)),
            "To proceed, log out of 1 mobile, 1 device from the devices below.");
}

TEST(DevicesToLogoutTest, MixedExcesses) {
  struct Case {
    DeviceLimitState state;
    const char* parts;
  };
  const Case cases[] = {
      // Every excess positive: each type's count above its limit, then the rest.
      {limits(7, 3, {3, 2, 2}, 1, 1, 2), "2 computers, 1 tablet, 1 device"},
      {limits(9, 2, {4, 3, 2}, 1, 1, 1), "3 computers, 2 tablets, 1 mobile, 1 device"},
      // Types over their limits account for the whole overall excess, or more.
      {limits(5, 3, {3, 2, std::nullopt}, 2, 1, 0), "1 computer, 1 tablet"},
      {limits(4, 3, {std::nullopt, std::nullopt, 4}, 0, 0, 1), "3 mobiles"},
      // Within the overall limit, a type over its own limit still is named.
      {limits(3, 5, {std::nullopt, 2, std::nullopt}, 0, 1, 0), "1 tablet"},
      // One type under its limit, one over it, one without a limit.
      {limits(6, 2, {1, 3, 2}, 4, 1, 0), "2 tablets, 2 devices"},
      {limits(6, 4, {0, 1, 5}, 2, 3, 4), "1 mobile, 1 device"},
  };
  for (const Case& each : cases) {
    EXPECT_EQ(devicesToLogout(each.state),
              std::string("To proceed, log out of ") + each.parts + " from the devices below.")
        << each.parts;
  }
}

TEST(DevicesToLogoutTest, ExtremeCountsSaturateInsteadOfOverflowing) {
  constexpr auto max = std::numeric_limits<std::int64_t>::max();
  constexpr auto min = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(devicesToLogout(limits(max, min, {max, max, min}, 1, 1, max)),
            "To proceed, log out of " + std::to_string(max - 1) + " computers, " +
                std::to_string(max - 1) + " tablets from the devices below.");
  EXPECT_EQ(devicesToLogout(limits(max, min, {max, max, min}, -1, -1, max)),
            "To proceed, log out of " + std::to_string(max) + " devices from the devices below.");
  EXPECT_TRUE(isOverDeviceLimit(limits(max, min, {})));
}

TEST(IsOverDeviceLimitTest, CountsOverallAndPerTypeLimitsOfAtLeastOne) {
  EXPECT_FALSE(isOverDeviceLimit(std::nullopt));
  EXPECT_FALSE(isOverDeviceLimit(limits(3, 3, {})));
  EXPECT_TRUE(isOverDeviceLimit(limits(4, 3, {})));
  // Per-type counts over a limit of 0 (or less) never count on their own.
  EXPECT_FALSE(isOverDeviceLimit(limits(3, 5, {3, 3, 3}, 0, -1, 0)));
  EXPECT_TRUE(isOverDeviceLimit(limits(3, 5, {std::nullopt, 2, std::nullopt}, 0, 1, 0)));
  EXPECT_TRUE(isOverDeviceLimit(limits(3, 5, {2, std::nullopt, std::nullopt}, 1, 0, 0)));
  EXPECT_TRUE(isOverDeviceLimit(limits(3, 5, {std::nullopt, std::nullopt, 3}, 0, 0, 2)));
  // An absent count is never over its limit.
  EXPECT_FALSE(isOverDeviceLimit(limits(3, 5, {}, 1, 1, 1)));
}

TEST(PlainTextTest, DescribesEachElementOnItsOwnLine) {
  Element button;
  button.kind = ElementKind::button;
  button.text = "Go";
  button.weight = FontWeight::bold;
  button.background = Paint::exact(colorFromHex("#112233"));
  button.enabled = false;
  button.action = "go";
  Element list;
  list.kind = ElementKind::list;
  Element row;
  row.kind = ElementKind::row;
  row.selected = true;
  Element mark;
  mark.kind = ElementKind::image;
  mark.image = "circle";
  mark.foreground = Paint::of(Paint::Role::secondary, 0.1);
  row.children = {mark, Element{}};
  row.children[1].text = "Linux";
  list.children = {row};
  EXPECT_EQ(plainText({button, list}),
            "button bold disabled on #FF112233: Go -> go\n"
            "list\n"
            "  row selected { image in secondary 10% [circle] | text: Linux }\n");
}

// Screens over a client that never reaches a service: their state and texts.
class ScreensTest : public ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    zelk = makeClient();
  }
  void TearDown() override { setLocalizer({}); }

  void show(std::optional<Brand> brand, std::optional<User> user = std::nullopt,
            std::optional<Project> project = Project{"p1", "Acme"}) {
    ChallengeDetails details;
    details._id = "ch_1";
    details.project = std::move(project);
    details.brand = std::move(brand);
    details.user = std::move(user);
    viewModel->setChallengeDetails(details);
  }

  std::shared_ptr<Zelk> zelk;
  std::shared_ptr<ChallengeViewModel> viewModel = std::make_shared<ChallengeViewModel>();
};

TEST_F(ScreensTest, VerifyToContinueLeadsToTheOptionsOnlyWhenVerificationCanHappen) {
  const auto entry = ChallengeEntryView::create(viewModel, zelk);
  const auto destination = [&] { return entry->elements().back().children.at(1).destination; };
  EXPECT_EQ(destination(), "DeviceLimiterView");  // no challenge at all

  show(Brand{std::nullopt, std::nullopt, true}, User{"u", std::nullopt, "+15550100"});
  EXPECT_EQ(destination(), "VerificationOptionsView");
  entry->verifyToContinue();
  ASSERT_TRUE(entry->destination());
  EXPECT_EQ(entry->destination()->name(), "VerificationOptionsView");

  show(Brand{std::nullopt, std::nullopt, std::nullopt}, User{"u", std::nullopt, "+15550100"});
  EXPECT_EQ(destination(), "DeviceLimiterView");
  show(Brand{std::nullopt, std::nullopt, false}, User{"u", "a@example.com", std::nullopt});
  EXPECT_EQ(destination(), "DeviceLimiterView");
  show(Brand{std::nullopt, std::nullopt, true}, User{"u", std::nullopt, std::nullopt});
  EXPECT_EQ(destination(), "DeviceLimiterView");
  show(Brand{std::nullopt, std::nullopt, true}, std::nullopt);
  EXPECT_EQ(destination(), "DeviceLimiterView");
}

TEST_F(ScreensTest, TheEntryScreenShowsTheProjectAndItsBrand) {
  const auto entry = ChallengeEntryView::create(viewModel, zelk);
  show(Brand{std::nullopt, "#ff0000", std::nullopt}, std::nullopt, std::nullopt);
  EXPECT_EQ(entry->title(), "Start your own  account today");
  EXPECT_EQ(plainText(entry->elements()),
            "text title bold\n"
            "text title bold: Start your own  account today\n"
            "text in secondary: We detected multiple people using this account. Please create "
            "your own account to continue.\n"
            "spacer\n"
            "button subheadline medium in secondary: Log out of this device -> "
            "logOutOfThisDevice\n"
            "button bold in white on #FFFF0000 [arrow.right]: Create an account now -> "
            "createAccount\n"
            "row subheadline { text subheadline medium: Is this your account? | link subheadline "
            "medium: Verify to continue -> verifyToContinue (DeviceLimiterView) }\n");

  // A logo with a usable address replaces the name; one without falls back to it.
  show(Brand{"https://cdn.example.com/logo.png", std::nullopt, std::nullopt});
  EXPECT_EQ(entry->elements()[0].kind, ElementKind::logo);
  EXPECT_EQ(entry->elements()[0].url, "https://cdn.example.com/logo.png");
  show(Brand{"not a url", std::nullopt, std::nullopt});
  EXPECT_EQ(entry->elements()[0].plainText(), "text title bold: Acme");
  EXPECT_EQ(entry->elements()[4].background, std::nullopt);
  EXPECT_EQ(entry->elements()[5].background, Paint::exact(colorFromHex("")));
}

TEST_F(ScreensTest, FixedTextsGoThroughTheHostsLocalizer) {
  setLocalizer([](std::string_view key) -> std::string {
    if (key == "Start your own %@ account today") return "Starte dein eigenes %@-Konto";
    if (key == "Resend in %@ seconds") return "Erneut senden in %@ s";
    return std::string(key);
  });
  show(std::nullopt);
  EXPECT_EQ(ChallengeEntryView::create(viewModel, zelk)->title(), "Starte dein eigenes Acme-Konto");
  EXPECT_EQ(VerificationCodeView::create(viewModel, zelk)->resendLabel(), "Erneut senden in 30 s");
  // A translation that lost its placeholder still shows the value.
  setLocalizer([](std::string_view) { return std::string("Projekt: "); });
  EXPECT_EQ(localized("Continue to %@", "Acme"), "Projekt: Acme");
}

TEST_F(ScreensTest, EveryTextTheScreensAskForIsInTheBuiltInCatalogue) {
  std::set<std::string> asked;
  setLocalizer([&asked](std::string_view key) {
    asked.emplace(key);
    return std::string(key);
  });
  const auto draw = [&] {
    ChallengeEntryView::create(viewModel, zelk)->elements();
    VerificationOptionsView::create(viewModel, zelk)->elements();
    VerificationCodeView::create(viewModel, zelk)->elements();
    DeviceLimiterView::create(viewModel, zelk)->elements();
  };
  draw();  // no challenge: "the app", "you"
  show(Brand{std::nullopt, "#00ff00", true}, User{"u", "a@example.com", "+15550100"});
  draw();
  ASSERT_FALSE(asked.empty());
  const auto keys = screenTextKeys();
  for (const std::string& key : asked) {
    EXPECT_NE(std::find(keys.begin(), keys.end(), key), keys.end()) << key;
  }

  // Switched on, the screens speak the chosen language.
  setLocalizer({});
  useBuiltinTranslations("es_ES.UTF-8");
  EXPECT_EQ(ChallengeEntryView::create(viewModel, zelk)->title(),
            "Crea hoy tu propia cuenta de Acme");
  EXPECT_EQ(VerificationCodeView::create(viewModel, zelk)->resendLabel(),
            "Reenviar en 30 segundos");
  stopBuiltinTranslations();
}

TEST_F(ScreensTest, TheCountdownCountsInTheLanguagesPluralFormsUnlessTheHostHasAnEntry) {
  show(std::nullopt);
  const auto code = VerificationCodeView::create(viewModel, zelk);
  useBuiltinTranslations("pl_PL");
  EXPECT_EQ(code->resendLabel(), "Wyślij ponownie za 30 sekund");
  for (int i = 0; i < 8; ++i) code->tick();
  EXPECT_EQ(code->resendLabel(), "Wyślij ponownie za 22 sekundy");
  useBuiltinTranslations("ar");
  EXPECT_EQ(code->resendLabel(), "إعادة الإرسال بعد ٢٢ ثانية");
  for (int i = 0; i < 20; ++i) code->tick();
  EXPECT_EQ(code->resendLabel(), "إعادة الإرسال بعد ثانيتين");
  setLocalizer([](std::string_view key) {
    return key == "Resend in %@ seconds" ? std::string("Za %@ s") : std::string(key);
  });
  EXPECT_EQ(code->resendLabel(), "Za 2 s");
  setLocalizer({});
  stopBuiltinTranslations();
  EXPECT_EQ(code->resendLabel(), "Resend in 2 seconds");
}

TEST_F(ScreensTest, EntryButtonsDetachAndCallTheHostInTheirOwnOrder) {
  zelk->setUserID("alice");
  ZelkInternals::of(*zelk).setCurrentDevice("dev-1", std::nullopt);
  // Whether a detach was sent since `detachesBefore`: still on its way, or already answered (the
  // service notes a request before it answers it). A fast answer must not look like no detach.
  std::size_t detachesBefore = 0;
  const auto detachSent = [&] {
    if (ZelkInternals::requestsInFlight(*zelk) > 0) return "detach sent";
    return bodies("/v2/access/detach").size() > detachesBefore ? "detach sent" : "no detach yet";
  };
  std::vector<std::string> events;
  zelk->onLogoutCurrentDevice = [&] { events.push_back(std::string("logout, ") + detachSent()); };
  zelk->onCreateNewAccount = [&] { events.push_back(std::string("new account, ") + detachSent()); };
  const auto entry = ChallengeEntryView::create(viewModel, zelk);

  viewModel->setChallengeVisible(true);
  EXPECT_TRUE(entry->perform("logOutOfThisDevice"));
  EXPECT_FALSE(viewModel->challengeVisible());
  settle(*zelk);

  detachesBefore = bodies("/v2/access/detach").size();
  viewModel->setChallengeVisible(true);
  EXPECT_TRUE(entry->perform("createAccount"));
  EXPECT_FALSE(viewModel->challengeVisible());
  settle(*zelk);

  // The detach is on its way before the log-out callback, and after the new-account one.
  EXPECT_EQ(events,
            (std::vector<std::string>{"logout, detach sent", "new account, no detach yet"}));
  EXPECT_EQ(bodies("/v2/access/detach").size(), 2u);
  EXPECT_FALSE(entry->perform("noSuchAction"));
}

TEST_F(ScreensTest, TheOptionsOfferTheContactsTheUserHas) {
  const auto options = VerificationOptionsView::create(viewModel, zelk);
  const auto links = [&] {
    std::vector<std::string> texts;
    for (const Element& element : options->elements()) {
      if (element.kind == ElementKind::link) texts.push_back(element.text);
    }
    return texts;
  };
  EXPECT_TRUE(links().empty());
  show(std::nullopt, User{"u", "a@example.com", std::nullopt});
  EXPECT_EQ(links(), std::vector<std::string>{"Email: a@example.com"});
  show(std::nullopt, User{"u", "a@example.com", "+15550100"});
  EXPECT_EQ(links(), (std::vector<std::string>{"Email: a@example.com", "Text: +15550100"}));
  show(std::nullopt, User{"u", std::nullopt, std::nullopt});
  EXPECT_TRUE(links().empty());
  EXPECT_FALSE(options->perform("requestEmailCode"));
}

TEST_F(ScreensTest, TheCodeScreenCountsDownAndFollowsTheCodeLength) {
  show(Brand{std::nullopt, "#00ff00", std::nullopt});
  const auto screen = VerificationCodeView::create(viewModel, zelk);
  const auto resendButton = [&] { return screen->elements()[4]; };
  const auto verifyButton = [&] { return screen->elements()[6]; };

  EXPECT_EQ(resendButton().text, "Resend in 30 seconds");
  EXPECT_FALSE(resendButton().enabled);
  for (int i = 0; i < 29; ++i) screen->tick();
  EXPECT_EQ(resendButton().text, "Resend in 1 seconds");
  EXPECT_FALSE(screen->perform("resend"));
  screen->tick();
  screen->tick();
  EXPECT_EQ(screen->secondsToResend(), 0);
  EXPECT_EQ(resendButton().text, "Resend in now");
  EXPECT_TRUE(resendButton().enabled);

  screen->codeChanged("12345");
  EXPECT_FALSE(verifyButton().enabled);
  EXPECT_EQ(verifyButton().background, Paint::of(Paint::Role::secondary));
  screen->codeChanged("12345é");  // six characters, seven bytes
  EXPECT_TRUE(screen->validCode());
  EXPECT_TRUE(verifyButton().enabled);
  EXPECT_EQ(verifyButton().background, Paint::exact(colorFromHex("#00ff00")));
}

TEST_F(ScreensTest, TheCodeScreenNamesTheLastChannelUsed) {
  const auto screen = VerificationCodeView::create(viewModel, zelk);
  EXPECT_EQ(screen->message(), "We've sent a code to you. Please enter the code below.");
  show(std::nullopt);
  EXPECT_EQ(screen->message(), "We've sent a code to you. Please enter the code below.");
  auto details = *viewModel->challengeDetails();
  details.channels = std::vector{ChallengeChannel::email, ChallengeChannel::text};
  viewModel->setChallengeDetails(details);
  EXPECT_EQ(screen->message(), "We've sent a code to text. Please enter the code below.");
}

TEST_F(ScreensTest, VerifyWithoutAChallengeKeepsTheProgressIndicator) {
  const auto screen = VerificationCodeView::create(viewModel, zelk);
  screen->codeChanged("123456");
  EXPECT_TRUE(screen->perform("verifyCode"));
  EXPECT_TRUE(screen->verifying());
  EXPECT_EQ(screen->elements()[6].children.at(0).kind, ElementKind::progress);
  settle(*zelk);
  EXPECT_TRUE(screen->verifying());
  EXPECT_TRUE(sandbox.requests().empty());
}

TEST_F(ScreensTest, TheLimiterWithoutLimitsOffersToContinue) {
  const auto limiter = DeviceLimiterView::create(viewModel, zelk);
  EXPECT_FALSE(limiter->isOverDeviceLimit());
  EXPECT_EQ(limiter->devicesToLogout(), "");
  const auto elements = limiter->elements();
  EXPECT_EQ(elements[1].children.at(0).text, "Verification complete");
  EXPECT_EQ(elements.back().text, "Continue to the app");
  show(std::nullopt);
  EXPECT_EQ(limiter->elements().back().text, "Continue to Acme");
  viewModel->setLoadingDevices(true);
  EXPECT_EQ(limiter->elements()[1].kind, ElementKind::progress);
  EXPECT_FALSE(limiter->elements().back().enabled);
}

}  // namespace
}  // namespace zelk::testing
