// SPDX-License-Identifier: Apache-2.0
// The Qt module: its platform services, and the challenge screens drawn by QML, driven as a
// person would (clicks and key presses) against the sandbox service.
#include <zelk/qt.hpp>
#include <zelk/zelk.hpp>

#include "sandbox.hpp"

#include <qpa/qwindowsysteminterface.h>
#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
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

  void presentedModeOpensOneModalWindowForTwoChallenges() {
    sandbox->configureProject("presented", {});
    QQuickView host(&engine, nullptr);
    host.setSource(QUrl("qrc:/zelk-tests/Plain.qml"));
    host.show();
    host.requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&host));

    auto client = Zelk::create("presented", true, platform);
    client->setUserID("bob");
    client->attach();
    QTRY_VERIFY(client->deviceID().has_value());
    QVERIFY(sandbox->waitForStreams(*client->deviceID(), 1, std::chrono::seconds(10)));
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
    QTRY_VERIFY(button(overlay, "Email: alice@example.com"));
    click(&view, button(overlay, "Email: alice@example.com"));
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

 private:
  static QList<QQuickWindow*> presentedWindows() {
    QList<QQuickWindow*> windows;
    for (QWindow* window : QGuiApplication::topLevelWindows()) {
      if (window->objectName() == "zelkPresentedChallenge" && window->isVisible()) {
        windows.push_back(qobject_cast<QQuickWindow*>(window));
      }
    }
    return windows;
  }

  std::shared_ptr<Zelk> attachTablet(const std::string& project) {
    Platform tabletPlatform = platform;
    tabletPlatform.notifications = std::make_shared<NotificationCenter>(platform.mainQueue);
    tabletPlatform.preferences = PreferencesStore::inMemory();
    tabletPlatform.presenter = nullptr;
    tabletPlatform.deviceFacts = [] { return DeviceFacts{"iPad Air", "iPadOS", "17", "TABLET-1"}; };
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
