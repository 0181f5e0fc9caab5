// SPDX-License-Identifier: Apache-2.0
// The Qt module: its platform services, and the challenge screens drawn by QML, driven as a
// person would (clicks and key presses) against the sandbox service.
#include <zelk/qt.hpp>
#include <zelk/zelk.hpp>

#include "bridge.hpp"
#include "sandbox.hpp"
#include "support/own_devices_service.hpp"

#include <qpa/qwindowsysteminterface.h>
#include <QDateTime>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QLocale>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <thread>

namespace {

using namespace zelk;

// Every item under `root`, depth first.
void collect(QQuickItem* root, QList<QQuickItem*>& items) {
  items.push_back(root);
  for (QQuickItem* child : root->childItems()) collect(child, items);
}

QList<QQuickItem*> itemsOf(QQuickItem* root) {
  QList<QQuickItem*> items;
  if (root) collect(root, items);
  return items;
}

// The texts a person sees under `root`: visible items with a non-empty "text".
QStringList visibleTexts(QQuickItem* root) {
  QStringList texts;
  for (QQuickItem* item : itemsOf(root)) {
    if (!item->isVisible() || item->opacity() == 0) continue;
    const QString text = item->property("text").toString();
    if (!text.isEmpty()) texts.push_back(text);
  }
  return texts;
}

bool visibleUpTo(QQuickItem* item, QQuickItem* root) {
  for (; item && item != root; item = item->parentItem()) {
    if (!item->isVisible()) return false;
  }
  return true;
}

// The visible button or link labelled `text`.
QQuickItem* button(QQuickItem* root, const QString& text) {
  for (QQuickItem* item : itemsOf(root)) {
    if (item->inherits("QQuickAbstractButton") && item->property("text").toString() == text &&
        visibleUpTo(item, root)) {
      return item;
    }
  }
  return nullptr;
}

QPointF centreOf(QQuickItem* item) {
  return item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
}

// Clicks `item` once no screen is sliding in or out (a sliding stack takes no input).
void click(QQuickWindow* window, QQuickItem* item) {
  QVERIFY(item);
  const auto sliding = [window] {
    for (QQuickItem* each : itemsOf(window->contentItem())) {
      if (each->inherits("QQuickStackView") && each->property("busy").toBool()) return true;
    }
    return false;
  };
  QTRY_VERIFY(!sliding());
  QTest::mouseClick(window, Qt::LeftButton, {}, centreOf(item).toPoint());
}

bool drawnUpTo(QQuickItem* item, QQuickItem* root) {
  for (; item; item = item->parentItem()) {
    if (!item->isVisible() || item->opacity() == 0) return false;
    if (item == root) return true;
  }
  return false;
}

QString describe(QQuickItem* item, const QRectF& box) {
  return QStringLiteral("\"%1\" at %2,%3 %4x%5")
      .arg(item->property("text").toString())
      .arg(box.x())
      .arg(box.y())
      .arg(box.width())
      .arg(box.height());
}

// What is wrong with the texts drawn under `root` in `window`: a text that does not fit its own
// box (cut or squeezed), a box outside the window (or, on a screen that scrolls, outside the
// scrolled content), or two texts on top of each other.
QStringList layoutFaults(QQuickWindow* window, QQuickItem* root) {
  struct Drawn {
    QQuickItem* item;
    QRectF box;
  };
  std::vector<Drawn> texts;
  QStringList faults;
  constexpr double slack = 0.5;
  for (QQuickItem* item : itemsOf(root)) {
    if (!item->inherits("QQuickText") && !item->inherits("QQuickTextInput")) continue;
    if (item->property("text").toString().isEmpty() || !drawnUpTo(item, root)) continue;
    const QRectF box = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
    const double roomX = item->width() - item->property("leftPadding").toDouble() -
                         item->property("rightPadding").toDouble();
    const double roomY = item->height() - item->property("topPadding").toDouble() -
                         item->property("bottomPadding").toDouble();
    if (item->property("contentWidth").toDouble() > roomX + slack ||
        item->property("contentHeight").toDouble() > roomY + slack) {
      faults << "does not fit its box: " + describe(item, box);
    }
    QRectF bounds(0, 0, window->width(), window->height());
    for (QQuickItem* up = item->parentItem(); up; up = up->parentItem()) {
      if (!up->inherits("QQuickFlickable")) continue;
      auto* content = up->property("contentItem").value<QQuickItem*>();
      const QRectF scrolled = content->mapRectToScene(QRectF(
          0, 0, up->property("contentWidth").toDouble(), up->property("contentHeight").toDouble()));
      bounds.setTop(std::min(bounds.top(), scrolled.top()));
      bounds.setBottom(std::max(bounds.bottom(), scrolled.bottom()));
      break;
    }
    if (box.left() < bounds.left() - slack || box.right() > bounds.right() + slack ||
        box.top() < bounds.top() - slack || box.bottom() > bounds.bottom() + slack) {
      faults << "runs out of the window: " + describe(item, box);
    }
    for (const Drawn& other : texts) {
      const QRectF both = box.intersected(other.box);
      if (both.width() > slack && both.height() > slack) {
        faults << "overlaps " + describe(other.item, other.box) + ": " + describe(item, box);
      }
    }
    texts.push_back({item, box});
  }
  return faults;
}

class ZelkQtTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QGuiApplication::setOrganizationName("zelk-tests");
    QGuiApplication::setApplicationName("qt-test");
    QVERIFY(settingsDir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    platform = qt::platform(&engine);
    qt::registerQml(engine);
  }

  void init() {
    sandbox = std::make_unique<sandbox::Sandbox>();
    std::string error;
    QVERIFY2(sandbox->start(&error), error.c_str());
    platform.baseURL = sandbox->baseURL();
  }

  void cleanup() {
    qt::setClient(nullptr);
    sandbox.reset();
  }

  void mainQueueRunsTasksOnTheGuiThreadInOrder() {
    std::vector<int> order;
    std::atomic<bool> offThread = false;
    std::thread worker([&] {
      platform.mainQueue->postAfter(std::chrono::milliseconds(30), [&] { order.push_back(3); });
      platform.mainQueue->post([&] {
        offThread = !platform.mainQueue->isCurrentThread();
        order.push_back(1);
      });
      platform.mainQueue->post([&] { order.push_back(2); });
    });
    worker.join();
    QVERIFY(platform.mainQueue->isCurrentThread());
    QTRY_COMPARE(order.size(), 3u);
    QCOMPARE(order, (std::vector<int>{1, 2, 3}));
    QVERIFY(!offThread);
  }

  void preferencesLiveInTheApplicationsSettings() {
    platform.preferences->set("dorvi_device_identity", "id-42");
    QCOMPARE(QSettings().value("zelk/dorvi_device_identity").toString(), QString("id-42"));
    QCOMPARE(platform.preferences->string("dorvi_device_identity"),
             std::optional<std::string>("id-42"));
    platform.preferences->set("dorvi_device_identity", std::nullopt);
    QVERIFY(!platform.preferences->string("dorvi_device_identity"));
  }

  void leavingAndReenteringTheActiveStateDetachesAndAttaches() {
    auto client = Zelk::create("lifecycle", false, platform);
    client->setUserID("alice");
    const auto count = [&](const std::string& path) {
      int n = 0;
      for (const auto& request : sandbox->requests()) n += request.path == path;
      return n;
    };
    // The state changes as the windowing system reports them.
    const auto setState = [](Qt::ApplicationState state) {
      QWindowSystemInterface::handleApplicationStateChanged(state);
      QTRY_COMPARE(QGuiApplication::applicationState(), state);
    };
    const auto activate = [&] { setState(Qt::ApplicationActive); };
    const auto deactivate = [&] { setState(Qt::ApplicationInactive); };
    deactivate();
    activate();
    QTRY_COMPARE(count("/v2/access"), 1);
    QTRY_VERIFY(client->deviceID().has_value());
    deactivate();
    QTRY_COMPARE(count("/v2/access/detach"), 1);
    activate();
    QTRY_COMPARE(count("/v2/access"), 2);
    QTRY_VERIFY(client->deviceID().has_value());  // the detach above forgot it
    setState(Qt::ApplicationSuspended);
    QTRY_COMPARE(count("/v2/access/detach"), 2);
    setState(Qt::ApplicationHidden);  // still not active: nothing more
    activate();
    QTRY_COMPARE(count("/v2/access"), 3);
    QCOMPARE(count("/v2/access/detach"), 2);
  }

  // The user's own devices drawn by the module: a sign-out that asks first, and a code typed
  // into the field, against a scripted service.
  void yourDevicesSignsOutAfterConfirmingAndByCode() {
    zelk::testing::OwnDevicesService service;
    service.addDevice(zelk::testing::OwnDevicesService::device("dev-mac", "computer", "MacBook"),
                      "2027-02-01T00:00:00.000Z");
    service.addDevice(zelk::testing::OwnDevicesService::device("dev-tab", "tablet", "iPad"),
                      std::nullopt, "K7QM-2XD9");
    Platform scripted = platform;
    scripted.baseURL = service.baseURL();
    auto client = Zelk::create("own-devices", false, scripted);
    client->setUserID("alice");
    client->attach();
    QTRY_VERIFY(client->deviceID().has_value());
    qt::setClient(client);

    QQuickView view(&engine, nullptr);
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.resize(390, 844);
    view.setSource(QUrl("qrc:/qt/qml/Zelk/YourDevices.qml"));
    QCOMPARE(view.status(), QQuickView::Ready);
    view.show();
    view.requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&view));
    QQuickItem* root = view.rootObject();
    QTRY_VERIFY(visibleTexts(root).contains("MacBook"));
    const QStringList shown = visibleTexts(root);
    for (const char* text : {"Your devices", "iPhone", "iPad", "This device", "Trusted"}) {
      QVERIFY2(shown.contains(text), text);
    }
    QVERIFY(layoutFaults(&view, root).isEmpty());

    // The first "Sign out" is the MacBook's (this device has none); it asks before it acts.
    click(&view, button(root, "Sign out"));
    QTRY_VERIFY(visibleTexts(root).contains("Sign out this device?"));
    QCOMPARE(service.deviceIDs().size(), 3u);
    click(&view, button(root, "Cancel"));
    QTRY_VERIFY(!visibleTexts(root).contains("Sign out this device?"));
    click(&view, button(root, "Sign out"));
    QTRY_VERIFY(visibleTexts(root).contains("Sign out this device?"));
    // The question's "Sign out" is the one after its "Cancel".
    QQuickItem* confirm = nullptr;
    bool afterCancel = false;
    for (QQuickItem* item : itemsOf(root)) {
      if (!item->inherits("QQuickAbstractButton") || !visibleUpTo(item, root)) continue;
      if (item->property("text") == "Cancel") afterCancel = true;
      if (afterCancel && item->property("text") == "Sign out") {
        confirm = item;
        break;
      }
    }
    click(&view, confirm);
    QTRY_COMPARE(service.deviceIDs(), (std::vector<std::string>{"dev-current", "dev-tab"}));
    QTRY_VERIFY(!visibleTexts(root).contains("MacBook"));

    // The code goes in through the field; the button takes it once there is one.
    QQuickItem* field = nullptr;
    for (QQuickItem* item : itemsOf(root)) {
      if (item->inherits("QQuickTextField")) field = item;
    }
    QVERIFY(field);
    QCOMPARE(field->property("placeholderText").toString(), QString("Code from the e-mail"));
    QVERIFY(!button(root, "Sign out with code")->isEnabled());
    field->forceActiveFocus();
    for (const char c : std::string("K7QM-2XD9")) QTest::keyClick(&view, c);
    auto* model = root->findChild<qt::YourDevicesModel*>();
    QVERIFY(model);
    QTRY_COMPARE(model->view()->code(), std::string("K7QM-2XD9"));
    QTRY_VERIFY(button(root, "Sign out with code")->isEnabled());
    click(&view, button(root, "Sign out with code"));
    QTRY_COMPARE(service.deviceIDs(), std::vector<std::string>{"dev-current"});
    QTRY_COMPARE(field->property("text").toString(), QString());
    QTRY_VERIFY(!visibleTexts(root).contains("iPad"));
    client->flush(std::chrono::seconds(5));
  }

  // A model name that runs long on a narrow phone gives way to the "Sign out" beside it, which
  // keeps its label on one line.
  void yourDevicesKeepsSignOutWholeBesideALongName() {
    zelk::testing::OwnDevicesService service;
    const std::string longName =
        "Samsung Galaxy Z Fold6 Enterprise Edition (5G, 512 GB, dual SIM, Northwind fleet)";
    service.addDevice(zelk::testing::OwnDevicesService::device("dev-long", "mobile", longName),
                      std::nullopt);
    Platform scripted = platform;
    scripted.baseURL = service.baseURL();
    auto client = Zelk::create("own-devices", false, scripted);
    client->setUserID("alice");
    client->attach();
    QTRY_VERIFY(client->deviceID().has_value());
    qt::setClient(client);

    QQuickView view(&engine, nullptr);
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.resize(320, 693);
    view.setSource(QUrl("qrc:/qt/qml/Zelk/YourDevices.qml"));
    QCOMPARE(view.status(), QQuickView::Ready);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QQuickItem* root = view.rootObject();
    QTRY_VERIFY(button(root, "Sign out"));
    QQuickItem* signOut = button(root, "Sign out");
    QTRY_VERIFY(signOut->width() > 0);
    QVERIFY2(signOut->width() >= signOut->implicitWidth() - 0.5,
             qPrintable(QString("Sign out is %1 wide, its label needs %2")
                            .arg(signOut->width())
                            .arg(signOut->implicitWidth())));
    QVERIFY(layoutFaults(&view, root).isEmpty());
    client->flush(std::chrono::seconds(5));
  }

  void presentedModeOpensOneModalWindowForTwoChallenges() {
    sandbox->configureProject("presented", {});
    QQuickView host(&engine, nullptr);
    host.setSource(QUrl("qrc:/zelk-tests/Plain.qml"));
    host.show();
    host.requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&host));

    const auto client = listeningPresentedClient("presented", "bob");
    QVERIFY(client);
    sandbox->raiseChallenge("presented", "bob");
    sandbox->raiseChallenge("presented", "bob");
    QTRY_COMPARE(presentedWindows().size(), 1);
    QTest::qWait(200);
    QCOMPARE(presentedWindows().size(), 1);
    QQuickWindow* modal = presentedWindows().front();
    QCOMPARE(modal->modality(), Qt::ApplicationModal);
    QVERIFY(!modal->close());  // the user cannot close it

    modal->requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(modal));
    QQuickItem* overlay = modal->contentItem();
    QTRY_VERIFY(button(overlay, "Log out of this device"));
    click(modal, button(overlay, "Log out of this device"));
    QTRY_COMPARE(presentedWindows().size(), 0);
  }

  void theChallengeCoversTheContentAndTakesClicksAndKeys() {
    sandbox::ProjectSettings settings;
    settings.name = "Road Atlas";
    settings.overallLimit = 1;
    settings.mobileLimit = 1;
    settings.tabletLimit = 1;
    settings.computerLimit = 0;
    settings.requireVerification = true;
    sandbox->configureProject("screens", settings);
    sandbox->configureUser("screens", "alice", {"alice@example.com", ""});
    auto tablet = attachTablet("screens");

    auto client = Zelk::create("screens", false, platform);
    client->setUserID("alice");
    qt::setClient(client);
    QQuickView view(&engine, nullptr);
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.setSource(QUrl("qrc:/zelk-tests/Host.qml"));
    QCOMPARE(view.status(), QQuickView::Ready);
    view.resize(390, 844);
    view.show();
    view.requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&view));
    QQuickItem* root = view.rootObject();
    QQuickItem* overlay = root->findChild<QQuickItem*>("challengeOverlay");
    QVERIFY(overlay);

    QTRY_VERIFY_WITH_TIMEOUT(overlay->isVisible(), 10000);
    QTRY_VERIFY(visibleTexts(overlay).contains("Start your own Road Atlas account today"));
    QVERIFY(visibleTexts(overlay).contains("Is this your account?"));

    click(&view, button(overlay, "Verify to continue"));
    QTRY_VERIFY(button(overlay, "Email: a\u2022\u2022\u2022e@example.com"));
    click(&view, button(overlay, "Email: a\u2022\u2022\u2022e@example.com"));
    QTRY_VERIFY(button(overlay, "Verify code"));
    QVERIFY(!button(overlay, "Verify code")->isEnabled());
    QVERIFY(button(overlay, "Resend in 30 seconds"));
    QVERIFY(!button(overlay, "Resend in 30 seconds")->isEnabled());

    // The first box has the keyboard; typing fills the boxes one after another.
    const std::string challenge = sandbox->challenges("screens", "alice").back();
    const auto code = sandbox->lastCode(challenge);
    QVERIFY(code);
    for (const char digit : *code) QTest::keyClick(&view, digit);
    QTRY_VERIFY(button(overlay, "Verify code")->isEnabled());
    QQuickItem* lastBox = nullptr;
    for (QQuickItem* item : itemsOf(root)) {
      if (item->objectName() == "codeBox5") lastBox = item;
    }
    QVERIFY(lastBox);
    QCOMPARE(lastBox->property("text").toString(), QString(code->back()));
    QTest::keyClick(&view, Qt::Key_Return);  // not text: the code stays as it is
    QCOMPARE(lastBox->property("text").toString(), QString(code->back()));
    QTest::keyClick(&view, Qt::Key_Backspace);
    QTRY_VERIFY(!button(overlay, "Verify code")->isEnabled());
    QTest::keyClick(&view, code->back());
    QTRY_VERIFY(button(overlay, "Verify code")->isEnabled());

    click(&view, button(overlay, "Verify code"));
    QTRY_VERIFY_WITH_TIMEOUT(visibleTexts(overlay).contains("Too many devices using this account."),
                             10000);
    QVERIFY(
        visibleTexts(overlay).contains("To proceed, log out of 1 device from the devices below."));
    QVERIFY(visibleTexts(overlay).contains("This device"));

    // Back slides the limiter out and shows the code screen with its code; the link can be
    // followed again.
    click(&view, button(root, QStringLiteral("\u2039 Back")));
    QTRY_VERIFY(button(overlay, "Verify code"));
    QTRY_VERIFY(!visibleTexts(overlay).contains("This device"));
    QCOMPARE(lastBox->property("text").toString(), QString(code->back()));

    // Logging this device out of the entry screen removes the challenge from the content.
    while (button(root, QStringLiteral("\u2039 Back"))) {
      click(&view, button(root, QStringLiteral("\u2039 Back")));
    }
    click(&view, button(overlay, "Log out of this device"));
    QTRY_VERIFY(!overlay->isVisible());
    QVERIFY(visibleTexts(root).contains("Host content"));
  }

  // The texts grow with the host's application font, unless the host keeps a scale of its own.
  void textsFollowTheApplicationFontUnlessTheHostSetsTheScale() {
    sandbox::ProjectSettings settings;
    settings.name = "Road Atlas";
    settings.overallLimit = 1;
    sandbox->configureProject("scale", settings);
    auto tablet = attachTablet("scale");
    auto client = Zelk::create("scale", false, platform);
    client->setUserID("alice");
    qt::setClient(client);
    QQuickView view(&engine, nullptr);
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.setSource(QUrl("qrc:/zelk-tests/Host.qml"));
    QCOMPARE(view.status(), QQuickView::Ready);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QQuickItem* root = view.rootObject();
    QQuickItem* overlay = root->findChild<QQuickItem*>("challengeOverlay");
    QVERIFY(overlay);
    QTRY_VERIFY_WITH_TIMEOUT(overlay->isVisible(), 10000);
    auto* theme = root->property("theme").value<QObject*>();
    QVERIFY(theme);
    const auto titleSize = [&] {
      for (QQuickItem* item : itemsOf(overlay)) {
        if (item->property("text").toString() == "Start your own Road Atlas account today") {
          return item->property("font").value<QFont>().pixelSize();
        }
      }
      return -1;
    };
    QTRY_COMPARE(titleSize(), 26);

    const QFont normal = QGuiApplication::font();
    QFont large = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    large.setPixelSize(2 * QFontInfo(large).pixelSize());
    QGuiApplication::setFont(large);
    QTRY_COMPARE(theme->property("fontScale").toDouble(), 2.0);
    QTRY_COMPARE(titleSize(), 52);

    theme->setProperty("followsApplicationFont", false);
    theme->setProperty("fontScale", 1.5);
    QTRY_COMPARE(titleSize(), 39);
    QGuiApplication::setFont(normal);
    QCoreApplication::processEvents();
    QCOMPARE(titleSize(), 39);
    theme->setProperty("followsApplicationFont", true);
    QTRY_COMPARE(titleSize(), 26);
  }

  void presentedModeOpensOnTheChallengeWhenTheServiceDoesNotRepeatIt() {
    sandbox->setRepeatOpenChallenges(false);
    sandbox::ProjectSettings settings;
    settings.name = "Road Atlas";
    sandbox->configureProject("presented-once", settings);
    QQuickView host(&engine, nullptr);
    host.setSource(QUrl("qrc:/zelk-tests/Plain.qml"));
    host.show();
    host.requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&host));

    const auto client = listeningPresentedClient("presented-once", "carol");
    QVERIFY(client);
    const std::string challenge = sandbox->raiseChallenge("presented-once", "carol");

    // The window opens on the challenge that brought it up, although the stream that the
    // presented container's attach opens never hears of it again.
    QTRY_COMPARE(presentedWindows().size(), 1);
    QQuickItem* overlay = presentedWindows().front()->contentItem();
    QTRY_VERIFY(visibleTexts(overlay).contains("Start your own Road Atlas account today"));
    QVERIFY(button(overlay, "Log out of this device"));
    int fetches = 0;
    for (const auto& request : sandbox->requests())
      fetches += request.path == "/v2/challenge/" + challenge;
    QCOMPARE(fetches, 1);

    QQuickWindow* modal = presentedWindows().front();
    modal->requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(modal));
    click(modal, button(overlay, "Log out of this device"));
    QTRY_COMPARE(presentedWindows().size(), 0);
  }

  void datesAreWrittenByQtForTheApplicationsLocale() {
    // The C library of this machine may well have no German locale; Qt carries its own data.
    const QByteArray savedTime = qgetenv("LC_TIME");
    qputenv("LC_TIME", "de_DE.UTF-8");
    const QLocale before;
    const QLocale german(QLocale::German, QLocale::Germany);
    QLocale::setDefault(german);
    const Date date = *iso8601Full().date("2026-12-08T12:00:00.000Z");
    const QString expected = german.toString(
        QDateTime::fromMSecsSinceEpoch(date.time_since_epoch().count()).toLocalTime(),
        QLocale::ShortFormat);
    QCOMPARE(QString::fromStdString(formattedDate(date)), expected);
    QVERIFY2(expected.contains("08.12.26"), qPrintable(expected));
    QVERIFY(!expected.contains("  "));

    // The host's formatter still comes first.
    setDateFormatter([](Date) { return std::string("am 8. Dezember"); });
    QCOMPARE(formattedDate(date), std::string("am 8. Dezember"));
    setDateFormatter({});
    QCOMPARE(QString::fromStdString(formattedDate(date)), expected);
    QLocale::setDefault(before);
    if (savedTime.isNull()) {
      qunsetenv("LC_TIME");
    } else {
      qputenv("LC_TIME", savedTime);
    }
  }

  // Every screen and state of the road, drawn 320, 390 and 430 points wide in each of the eight
  // languages, at 100 % and 200 % text, with a long project name, a long e-mail address and a
  // long device name: no text is cut (elided or clipped), runs out of the window or lies over
  // another; no text stays English in another language; every text drawn is one the headless
  // screen model gives.
  void everyScreenFitsNarrowAndWidePhonesInEveryLanguage() {
    sandbox::ProjectSettings settings;
    settings.name = "Supercalifragilisticexpialidocious Adventure Travel";
    settings.overallLimit = 1;
    settings.mobileLimit = 1;
    settings.tabletLimit = 1;
    settings.computerLimit = 0;
    settings.requireVerification = true;
    sandbox->configureProject("fits", settings);
    sandbox->configureUser("fits", "alice",
                           {"alexandra.konstantinopoulou@northern-lights-expeditions.example.com",
                            "+351 912 345 678"});
    auto tablet = attachTablet("fits", "iPadOS Developer Beta for Education and Enterprise Fleets");

    Platform phone = platform;
    phone.deviceFacts = [] { return DeviceFacts{"Pixel 8 Pro", "Android", "14", "PHONE-1"}; };
    auto client = Zelk::create("fits", false, phone);
    client->setUserID("alice");
    qt::setClient(client);
    QQuickView view(&engine, nullptr);
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.setSource(QUrl("qrc:/zelk-tests/Host.qml"));
    QCOMPARE(view.status(), QQuickView::Ready);
    view.resize(390, 844);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QQuickItem* root = view.rootObject();
    root->setProperty("animated", false);
    QQuickItem* overlay = root->findChild<QQuickItem*>("challengeOverlay");
    auto* model = qobject_cast<qt::ContainerModel*>(root->property("model").value<QObject*>());
    QVERIFY(overlay && model);
    const auto top = [&]() -> qt::ScreenModel* {
      return model->navigation() ? model->navigation()->top() : nullptr;
    };
    const auto screenName = [&] { return top() ? top()->name() : QString(); };

    QStringList faults;
    int drawn = 0;
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QFont normalFont = QGuiApplication::font();
    QFont largeFont = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    largeFont.setPixelSize(2 * QFontInfo(largeFont).pixelSize());
    // Texts a translation keeps as they are: names, addresses and what the user typed.
    const QStringList sameInEveryLanguage = {
        QString::fromStdString(settings.name),
        "alexandra.konstantinopoulou@northern-lights-expeditions.example.com",
        "+351 912 345 678",
        "iPadOS Developer Beta for Education and Enterprise Fleets",
        "Android",
        "-"};
    const auto drawnTexts = [&] {
      QList<QQuickItem*> texts;
      for (QQuickItem* item : itemsOf(overlay)) {
        if ((item->inherits("QQuickText") || item->inherits("QQuickTextInput")) &&
            !item->property("text").toString().isEmpty() && drawnUpTo(item, overlay)) {
          texts.push_back(item);
        }
      }
      return texts;
    };
    // A device name that lost its middle to "…" stands for the text it came from.
    const auto standsFor = [](const QString& shown, const QString& text) {
      if (shown == text) return true;
      const auto ellipsis = shown.indexOf(QChar(0x2026));
      return ellipsis > 0 && text.startsWith(shown.left(ellipsis)) &&
             text.endsWith(shown.mid(ellipsis + 1)) && shown.size() < text.size();
    };
    const auto redraw = [&] {
      // A write to the shared state redraws every screen, in the new language.
      const auto& shared = model->container()->viewModel();
      shared->setChallengeDetails(shared->challengeDetails());
      for (int pass = 0; pass < 3; ++pass) {
        QCoreApplication::processEvents();
        view.grabWindow();  // polishes the layouts and draws
      }
    };
    const auto checkEveryWay = [&](const QString& state) {
      stopBuiltinTranslations();
      QLocale::setDefault(english);
      view.resize(390, 844);
      redraw();
      QStringList englishTexts;
      for (QQuickItem* item : drawnTexts()) englishTexts << item->property("text").toString();
      for (const bool large : {false, true}) {
        QGuiApplication::setFont(large ? largeFont : normalFont);
        for (const int width : {320, 390, 430}) {
          for (const char* language : {"en", "fr", "de", "es", "it", "pt", "ar", "pl"}) {
            useBuiltinTranslations(language);
            QLocale::setDefault(QLocale(QString::fromLatin1(language)));
            view.resize(width, width == 320 ? 568 : width == 390 ? 844 : 932);
            redraw();
            ++drawn;
            const QString where = QStringLiteral("%1 / %2 / %3 wide / %4 %: ")
                                      .arg(state, language)
                                      .arg(width)
                                      .arg(large ? 200 : 100);
            if (large && std::abs(model->fontScale() - 2) > 0.1) {
              faults << where + "font scale " + QString::number(model->fontScale());
            }
            // What the QML draws is what the headless screen says.
            QStringList headless;
            std::function<void(const Element&)> collectTexts = [&](const Element& element) {
              if (!element.text.empty()) headless << QString::fromStdString(element.text);
              for (const Element& child : element.children) collectTexts(child);
            };
            for (const Element& element : top()->screen()->elements()) collectTexts(element);
            const QString back =
                QString::fromUtf8(std::string_view(language) == "ar" ? "\u203A " : "\u2039 ") +
                QString::fromStdString(builtinText("Back"));
            int texts = 0;
            for (QQuickItem* item : drawnTexts()) {
              const QString text = item->property("text").toString();
              const bool box = item->objectName().startsWith("codeBox");
              texts += !box;
              if (item->property("truncated").toBool()) faults << where + "cut: \"" + text + "\"";
              const bool inModel =
                  box || text == back ||
                  std::any_of(headless.begin(), headless.end(),
                              [&](const QString& h) { return standsFor(text, h); });
              if (!inModel) faults << where + "not a text of the screen model: \"" + text + "\"";
              if (std::string_view(language) == "en" || box) continue;
              const bool kept =
                  std::any_of(sameInEveryLanguage.begin(), sameInEveryLanguage.end(),
                              [&](const QString& same) { return standsFor(text, same); });
              if (englishTexts.contains(text) && !kept)
                faults << where + "still English: \"" + text + "\"";
            }
            if (texts < 3) faults << where + "hardly any text drawn";
            // Right to left the screens mirror, but the code's digits still run left to right.
            const bool mirrored = std::string_view(language) == "ar";
            QQuickItem* backControl = overlay->findChild<QQuickItem*>("challengeBack");
            if (backControl && backControl->isVisible()) {
              const double middle =
                  backControl->mapToScene(QPointF(backControl->width() / 2, 0)).x();
              if ((middle > view.width() / 2) != mirrored)
                faults << where + "back control on the wrong side";
            }
            QQuickItem* firstBox = overlay->findChild<QQuickItem*>("codeBox0");
            QQuickItem* lastBox = overlay->findChild<QQuickItem*>("codeBox5");
            if (firstBox && lastBox && drawnUpTo(firstBox, overlay) &&
                firstBox->mapToScene(QPointF()).x() > lastBox->mapToScene(QPointF()).x()) {
              faults << where + "code boxes run right to left";
            }
            for (const QString& fault : layoutFaults(&view, overlay)) faults << where + fault;
          }
        }
      }
      QGuiApplication::setFont(normalFont);
      stopBuiltinTranslations();
      QLocale::setDefault(english);
      view.resize(390, 844);
    };

    QTRY_VERIFY_WITH_TIMEOUT(screenName() == "ChallengeEntryView", 10000);
    checkEveryWay("entry");
    QVERIFY(top()->perform("verifyToContinue"));
    QTRY_COMPARE(screenName(), QString("VerificationOptionsView"));
    checkEveryWay("verification method");
    QVERIFY(top()->perform("requestEmailCode"));
    QTRY_COMPARE(screenName(), QString("VerificationCodeView"));
    checkEveryWay("code, empty");
    const auto code = sandbox->lastCode(sandbox->challenges("fits", "alice").back());
    QVERIFY(code);
    for (const char digit : *code) {
      const int box = top()->focusedBox();
      top()->editBox(box, top()->boxes().value(box), 0, QString(QChar(digit)));
    }
    QCOMPARE(top()->boxes().join(""), QString::fromStdString(*code));
    checkEveryWay("code, full");

    // A device list that never arrives leaves the limiter loading; back, and verify again.
    sandbox->script("challenge-devices", 200, "{}");
    QVERIFY(top()->perform("verifyCode"));
    QTRY_VERIFY_WITH_TIMEOUT(screenName() == "DeviceLimiterView", 10000);
    checkEveryWay("limiter, loading");
    QVERIFY(model->navigation()->back());
    QTRY_COMPARE(screenName(), QString("VerificationCodeView"));
    // A code verifies once: a new one, as a resend would bring.
    const auto second = sandbox->sendCode(sandbox->challenges("fits", "alice").back());
    QVERIFY(second);
    for (int box = 5; box >= 0; --box) {
      const QString current = top()->boxes().value(box);
      top()->editBox(box, current, static_cast<int>(current.size()), QString());
    }
    for (const char digit : *second) {
      const int box = top()->focusedBox();
      top()->editBox(box, top()->boxes().value(box), 0, QString(QChar(digit)));
    }
    QCOMPARE(top()->boxes().join(""), QString::fromStdString(*second));
    QVERIFY(top()->perform("verifyCode"));
    QTRY_VERIFY_WITH_TIMEOUT(
        screenName() == "DeviceLimiterView" && top()->plainText().contains("Too many devices"),
        10000);
    checkEveryWay("limiter, over the limit");
    QVERIFY(top()->perform("toggle:" + QString::fromStdString(*tablet->deviceID())));
    checkEveryWay("limiter, a device selected");
    QVERIFY(top()->perform("logOut"));
    QTRY_VERIFY_WITH_TIMEOUT(top()->plainText().contains("Verification complete"), 10000);
    checkEveryWay("verification complete");

    QCOMPARE(drawn, 8 * 2 * 3 * 8);
    // Every fault in the log; the first of each state in the message.
    QStringList firsts;
    for (const QString& fault : faults) {
      qInfo().noquote() << fault;
      const QString state = fault.section(" / ", 0, 0);
      if (firsts.isEmpty() || firsts.back().section(" / ", 0, 0) != state) firsts << fault;
    }
    QVERIFY2(faults.isEmpty(),
             qPrintable(QString::number(faults.size()) + " faults; the first of each state:\n" +
                        firsts.join("\n")));
  }

 private:
  // A client of `project` that presents its own challenges, signed in as `user`, attached and
  // with its stream open; null when that does not happen within 10 s. The stream opens from the
  // main queue, so the wait keeps the event loop running.
  std::shared_ptr<Zelk> listeningPresentedClient(const std::string& project,
                                                 const std::string& user) {
    auto client = Zelk::create(project, true, platform);
    client->setUserID(user);
    client->attach();
    const bool listening = QTest::qWaitFor(
        [&] {
          const auto device = client->deviceID();
          return device && sandbox->openStreams(*device) == 1;
        },
        10000);
    return listening ? client : nullptr;
  }

  static QList<QQuickWindow*> presentedWindows() {
    QList<QQuickWindow*> windows;
    for (QWindow* window : QGuiApplication::topLevelWindows()) {
      if (window->objectName() == "zelkPresentedChallenge" && window->isVisible()) {
        windows.push_back(qobject_cast<QQuickWindow*>(window));
      }
    }
    return windows;
  }

  std::shared_ptr<Zelk> attachTablet(const std::string& project,
                                     std::string systemName = "iPadOS") {
    Platform tabletPlatform = platform;
    tabletPlatform.notifications = std::make_shared<NotificationCenter>(platform.mainQueue);
    tabletPlatform.preferences = PreferencesStore::inMemory();
    tabletPlatform.presenter = nullptr;
    tabletPlatform.deviceFacts = [systemName] {
      return DeviceFacts{"iPad Air", systemName, "17", "TABLET-1"};
    };
    auto tablet = Zelk::create(project, false, tabletPlatform);
    tablet->setUserID("alice");
    tablet->attach();
    [&] { QTRY_VERIFY(tablet->deviceID().has_value()); }();
    return tablet;
  }

  QTemporaryDir settingsDir;
  QQmlEngine engine;
  Platform platform;
  std::unique_ptr<sandbox::Sandbox> sandbox;
};

}  // namespace

QTEST_MAIN(ZelkQtTest)
#include "qt_test.moc"
