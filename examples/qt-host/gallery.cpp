// SPDX-License-Identifier: Apache-2.0
#include "gallery.hpp"

#include <zelk/qt.hpp>
#include <zelk/zelk.hpp>

#include <QDeadlineTimer>
#include <QDir>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPalette>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWindow>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QThread>

#include <chrono>
#include <functional>
#include <utility>

namespace zelk::example {

namespace {

// A logo server that holds every request until it is told what to answer: the logo's progress
// indicator stays on screen until then.
class HeldLogo : public QTcpServer {
 public:
  HeldLogo() {
    connect(this, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* socket = nextPendingConnection()) {
        waiting_.push_back(socket);
        if (!answer_.isEmpty()) answerAll();
      }
    });
  }

  QString url() const { return QStringLiteral("http://127.0.0.1:%1/logo.png").arg(serverPort()); }

  void release(const QByteArray& png) {
    answer_ = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
              QByteArray::number(png.size()) + "\r\nConnection: close\r\n\r\n" + png;
    answerAll();
  }

 private:
  void answerAll() {
    for (QTcpSocket* socket : std::exchange(waiting_, {})) {
      socket->write(answer_);
      socket->disconnectFromHost();
    }
  }

  QList<QTcpSocket*> waiting_;
  QByteArray answer_;
};

class Walk {
 public:
  Walk(QQmlApplicationEngine& engine, Platform platform, std::string clientID, std::string user,
       QString directory)
      : engine_(engine),
        platform_(std::move(platform)),
        clientID_(std::move(clientID)),
        user_(std::move(user)),
        directory_(std::move(directory)) {}

  int run() {
    QDir().mkpath(directory_);
    if (!attachTablet()) return fail("the tablet could not attach");

    client_ = Zelk::create(clientID_, false, platform_);
    client_->setUserID(user_);
    qt::setClient(client_);
    engine_.load(QUrl(QStringLiteral("qrc:/qt/qml/ExampleHost/Main.qml")));
    if (engine_.rootObjects().isEmpty()) return fail("the host's QML did not load");
    window_ = qobject_cast<QQuickWindow*>(engine_.rootObjects().constFirst());
    container_ = window_->findChild<QObject*>(QStringLiteral("zelkContainer"));
    container_->setProperty("animated", false);

    if (!waitFor([&] { return screenName() == "ChallengeEntryView"; })) {
      return fail("no challenge arrived");
    }
    shoot("01-entry");
    const QPalette light = QGuiApplication::palette();
    QGuiApplication::setPalette(darkPalette());
    shoot("02-entry-dark");
    QGuiApplication::setPalette(light);

    // Verification by e-mail; a wrong code first.
    if (!perform("verifyToContinue") || screenName() != "VerificationOptionsView") {
      return fail("the entry screen did not lead to the verification options");
    }
    shoot("03-options");
    if (!perform("requestEmailCode")) return fail("no e-mail option");
    if (!waitFor([&] { return screenName() == "VerificationCodeView"; })) {
      return fail("no code screen");
    }
    shoot("04-code-empty");
    // The code screen 320 points wide in Arabic (right to left; the digits' boxes stay left to
    // right), Polish and German, and at 200 % text in English. The countdown redraws it.
    shootNarrow("17-code-narrow-arabic", "ar", QLocale(QLocale::Arabic, QLocale::Egypt), [] {});
    shootNarrow("18-code-narrow-polish", "pl", QLocale(QLocale::Polish, QLocale::Poland), [] {});
    shootNarrow("19-code-narrow-german", "de", QLocale(QLocale::German, QLocale::Germany), [] {});
    shootLargeText("20-code-large-text", [] {});
    const QString code = sandboxCode();
    if (code.size() != 6) return fail("the sandbox sent no code");
    QString wrong = code;
    wrong[0] = code[0] == '1' ? '2' : '1';
    type(wrong.left(3));
    shoot("05-code-partial");
    type(wrong.mid(3));
    shoot("06-code-full");
    perform("verifyCode");
    if (!waitFor([&] { return !plainText().contains("progress"); })) return fail("no answer");
    shoot("07-code-rejected");
    for (int box = 5; box >= 0; --box) erase(box);
    type(code);

    // The first limiter's device list never arrives (the sandbox answers with nothing it can
    // read), which leaves it loading; back and verify again for one that loads.
    scriptSandbox("challenge-devices", "{}");
    perform("verifyCode");
    if (!waitFor([&] { return screenName() == "DeviceLimiterView"; })) {
      return fail("the code was not accepted");
    }
    waitFor([] { return false; }, 300);
    shoot("08-limiter-loading");
    invoke(navigation(), "back");
    // The code was used up by the first verification: a new one, as a resend would bring.
    const QString second = newSandboxCode();
    if (second.size() != 6) return fail("the sandbox sent no second code");
    for (int box = 5; box >= 0; --box) erase(box);
    type(second);
    perform("verifyCode");
    if (!waitFor([&] {
          return screenName() == "DeviceLimiterView" && plainText().contains("Too many devices");
        })) {
      return fail("the limiter did not load");
    }
    shoot("09-limiter-over-limit");
    const QString row = plainText().section("-> toggle:", 1, 1).section(' ', 0, 0);

    // The same screen on a narrow phone, in German: the library's translations and Qt's dates.
    const QSize size = window_->size();
    const QLocale locale;
    zelk::useBuiltinTranslations("de");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    window_->resize(320, 693);  // a phone 320 points wide, as tall as the others for its width
    perform("toggle:" + row);   // twice: the screen draws again, in German, as it was
    perform("toggle:" + row);
    shoot("10-limiter-narrow-german");
    zelk::stopBuiltinTranslations();
    QLocale::setDefault(locale);
    window_->resize(size);
    const auto redrawLimiter = [this, row] {
      perform("toggle:" + row);
      perform("toggle:" + row);
    };
    shootNarrow("21-limiter-narrow-arabic", "ar", QLocale(QLocale::Arabic, QLocale::Egypt),
                redrawLimiter);
    shootNarrow("22-limiter-narrow-polish", "pl", QLocale(QLocale::Polish, QLocale::Poland),
                redrawLimiter);
    shootLargeText("23-limiter-large-text", redrawLimiter);

    perform("toggle:" + row);
    shoot("11-limiter-selection");
    perform("logOut");
    save(window_->grabWindow(), "12-limiter-detaching");  // at once, before any reply
    if (!waitFor([&] { return plainText().contains("Verification complete"); })) {
      return fail("the limiter did not confirm the verification");
    }
    waitFor([] { return false; }, 300);
    shoot("13-verification-complete");
    perform("logOut");
    if (!waitFor([&] { return !container_->property("challengeVisible").toBool(); })) {
      return fail("continue did not close the challenge");
    }
    shoot("14-host-content");

    if (!presented()) return fail("the presented challenge did not show");
    return yourDevices() ? 0 : fail("the user's devices did not load");
  }

 private:
  // The tablet attaches first, so that this device's attach goes over the limit.
  bool attachTablet() {
    Platform platform = platform_;
    platform.notifications = std::make_shared<NotificationCenter>(platform.mainQueue);
    platform.preferences = PreferencesStore::inMemory();
    platform.presenter = nullptr;
    platform.deviceFacts = [] {
      // A long system name, as some devices report, shows how a device row makes room for it.
      return DeviceFacts{"iPad Air", "iPadOS Enterprise (managed by Northwind IT)", "17.2",
                         "7D444840-9DC0-11D1-B245-5FFDCE74FAD2"};
    };
    tablet_ = Zelk::create(clientID_, false, platform);
    tablet_->setUserID(user_);
    bool done = false;
    tablet_->attach(std::nullopt, [&done, queue = platform.mainQueue](const ZelkAttachResponse&) {
      queue->post([&done] { done = true; });
    });
    return waitFor([&] { return done; });
  }

  // A client that presents its challenges itself attaches a third device over the limit. The
  // project's logo comes from a server that answers only once the first picture is taken.
  bool presented() {
    HeldLogo logo;
    if (!logo.listen(QHostAddress::LocalHost, 0)) return false;
    const QJsonObject project{{"client_id", QString::fromStdString(clientID_)},
                              {"logo", logo.url()}};
    sandbox("POST", "/_sandbox/project", QJsonDocument(project).toJson(QJsonDocument::Compact));

    Platform platform = platform_;
    platform.preferences = PreferencesStore::inMemory();
    platform.deviceFacts = [] {
      return DeviceFacts{"iPhone", "iOS", "17.2", "3F2504E0-4F89-11D3-9A0C-0305E82C3301"};
    };
    auto client = Zelk::create(clientID_, true, platform);
    client->setUserID(user_);
    client->attach();
    QQuickWindow* modal = nullptr;
    const bool shown = waitFor([&] {
      for (QWindow* window : QGuiApplication::topLevelWindows()) {
        if (window->objectName() == "zelkPresentedChallenge" && window->isVisible()) {
          modal = qobject_cast<QQuickWindow*>(window);
        }
      }
      return modal != nullptr;
    });
    if (!shown) return false;
    waitFor([] { return false; }, 500);
    save(modal->grabWindow(), "15-presented-logo-loading");
    logo.release(fetch("/_sandbox/logo.png"));
    if (!waitForPictures(modal)) return false;
    save(modal->grabWindow(), "16-presented-logo-loaded");
    return true;
  }

  // The screen of the user's own devices, in a window of its own as a host's account settings
  // would show it, on a project of its own that allows a few devices: this phone, a tablet and
  // a phone whose model name runs long, all of the same user.
  bool yourDevices() {
    const std::string project = clientID_ + "-devices";
    const QJsonObject settings{{"client_id", QString::fromStdString(project)},
                               {"name", "Road Atlas"},
                               {"overall_limit", 5}};
    sandbox("POST", "/_sandbox/project", QJsonDocument(settings).toJson(QJsonDocument::Compact));
    constexpr const char* kLongModel =
        "Samsung Galaxy Z Fold6 Enterprise Edition (5G, 512 GB, dual SIM, Northwind fleet)";
    const auto tablet = attachedDevice(
        project, {"iPad Air", "iPadOS", "17.2", "5B0C4E6A-2D7F-4A31-9E58-0F1D2C3B4A51"});
    const auto longNamed = attachedDevice(
        project, {kLongModel, "Android", "14", "5B0C4E6A-2D7F-4A31-9E58-0F1D2C3B4A52"});
    const auto phone = attachedDevice(
        project, {"iPhone 15 Pro", "iOS", "17.2", "5B0C4E6A-2D7F-4A31-9E58-0F1D2C3B4A53"});
    if (!tablet || !longNamed || !phone) return false;

    qt::setClient(phone);
    QQuickView view(&engine_, nullptr);
    view.setObjectName(QStringLiteral("YourDevicesView"));
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.resize(window_->size());
    view.setSource(QUrl(QStringLiteral("qrc:/qt/qml/Zelk/YourDevices.qml")));
    if (view.status() != QQuickView::Ready) return false;
    view.show();
    auto* model = view.rootObject()->property("model").value<QObject*>();
    QObject* screen = model ? model->property("screen").value<QObject*>() : nullptr;
    const auto text = [screen] {
      QString plain;
      if (screen) QMetaObject::invokeMethod(screen, "plainText", Q_RETURN_ARG(QString, plain));
      return plain;
    };
    const auto listed = [&] {
      const QString plain = text();
      return plain.contains("iPhone 15 Pro") && plain.contains("iPad Air") &&
             plain.contains(kLongModel);
    };
    // The refresh draws the screen again, in the texts' language of the moment.
    const auto refreshed = [&] {
      bool done = false;
      QMetaObject::invokeMethod(screen, "perform", Q_RETURN_ARG(bool, done),
                                Q_ARG(QString, QStringLiteral("refresh")));
      return done && waitFor(listed) && waitFor([&] { return !text().contains("progress"); });
    };
    if (!screen || !waitFor(listed)) return false;
    shoot("24-your-devices-light", &view);

    const QPalette light = QGuiApplication::palette();
    QGuiApplication::setPalette(darkPalette());
    shoot("25-your-devices-dark", &view);
    QGuiApplication::setPalette(light);

    // A phone 320 points wide: the long model name wraps, then loses its middle.
    const QSize size = view.size();
    view.resize(320, 693);
    shoot("26-your-devices-long-name", &view);
    view.resize(size);

    const QLocale locale;
    zelk::useBuiltinTranslations("de");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const bool german = refreshed();
    if (german) shoot("27-your-devices-german", &view);
    zelk::stopBuiltinTranslations();
    QLocale::setDefault(locale);

    qt::setClient(client_);
    for (const auto& client : {tablet, longNamed, phone}) client->flush(std::chrono::seconds(5));
    return german;
  }

  // A client of the user on the device `facts` describe, attached to `project`; null when the
  // attach got no reply.
  std::shared_ptr<Zelk> attachedDevice(const std::string& project, DeviceFacts facts) {
    Platform platform = platform_;
    platform.notifications = std::make_shared<NotificationCenter>(platform.mainQueue);
    platform.preferences = PreferencesStore::inMemory();
    platform.presenter = nullptr;
    platform.deviceFacts = [facts = std::move(facts)] { return facts; };
    auto client = Zelk::create(project, false, platform);
    client->setUserID(user_);
    client->attach();
    if (!waitFor([&] { return client->deviceID().has_value(); })) return nullptr;
    return client;
  }

  static QPalette darkPalette() {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x1C, 0x1C, 0x1E));
    palette.setColor(QPalette::WindowText, Qt::white);
    palette.setColor(QPalette::Base, QColor(0x2C, 0x2C, 0x2E));
    palette.setColor(QPalette::Text, Qt::white);
    palette.setColor(QPalette::Button, QColor(0x3A, 0x3A, 0x3C));
    palette.setColor(QPalette::ButtonText, Qt::white);
    return palette;
  }

  bool waitFor(const std::function<bool()>& predicate, int milliseconds = 10000) {
    QDeadlineTimer deadline(milliseconds);
    while (!predicate()) {
      if (deadline.hasExpired()) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      QThread::msleep(2);
    }
    return true;
  }

  QObject* navigation() const {
    auto* model = container_->property("model").value<QObject*>();
    return model ? model->property("navigation").value<QObject*>() : nullptr;
  }

  QObject* top() const {
    QObject* nav = navigation();
    return nav ? nav->property("top").value<QObject*>() : nullptr;
  }

  QString screenName() const {
    QObject* screen = top();
    return screen ? screen->property("name").toString() : QString();
  }

  QString plainText() const {
    QString text;
    if (QObject* screen = top()) {
      QMetaObject::invokeMethod(screen, "plainText", Q_RETURN_ARG(QString, text));
    }
    return text;
  }

  static bool invoke(QObject* object, const char* method) {
    bool done = false;
    if (object) QMetaObject::invokeMethod(object, method, Q_RETURN_ARG(bool, done));
    return done;
  }

  bool perform(const QString& action) {
    bool done = false;
    if (QObject* screen = top()) {
      QMetaObject::invokeMethod(screen, "perform", Q_RETURN_ARG(bool, done),
                                Q_ARG(QString, action));
    }
    QTextStream(stdout) << "> " << action << (done ? "" : " (not available)") << Qt::endl;
    return done;
  }

  // Types into the box that has the focus, one character at a time.
  void type(const QString& text) {
    for (const QChar c : text) {
      QObject* screen = top();
      const int box = screen->property("focusedBox").toInt();
      const QString current = screen->property("boxes").toStringList().value(box);
      bool taken = false;
      QMetaObject::invokeMethod(screen, "editBox", Q_RETURN_ARG(bool, taken), Q_ARG(int, box),
                                Q_ARG(QString, current), Q_ARG(int, 0), Q_ARG(QString, QString(c)));
    }
  }

  void erase(int box) {
    QObject* screen = top();
    const QString current = screen->property("boxes").toStringList().value(box);
    bool taken = false;
    QMetaObject::invokeMethod(screen, "editBox", Q_RETURN_ARG(bool, taken), Q_ARG(int, box),
                              Q_ARG(QString, current), Q_ARG(int, static_cast<int>(current.size())),
                              Q_ARG(QString, QString()));
  }

  QByteArray fetch(const QString& path) {
    QNetworkReply* reply =
        network_.get(QNetworkRequest(QUrl(QString::fromStdString(platform_.baseURL) + path)));
    waitFor([reply] { return reply->isFinished(); });
    const QByteArray bytes = reply->readAll();
    reply->deleteLater();
    return bytes;
  }

  // Waits until every picture on screen has loaded (or failed); false if some are still loading
  // after a few seconds.
  bool waitForPictures(QQuickWindow* window) {
    return waitFor(
        [window] {
          const auto images = window->contentItem()->findChildren<QQuickItem*>();
          for (QQuickItem* item : images) {
            if (item->inherits("QQuickImage") &&
                item->property("status").toInt() == 2 /* Image.Loading */) {
              return false;
            }
          }
          return true;
        },
        5000);
  }

  QJsonObject sandbox(const QString& method, const QString& path, const QByteArray& body = {}) {
    QNetworkRequest request(QUrl(QString::fromStdString(platform_.baseURL) + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply* reply = method == "POST" ? network_.post(request, body) : network_.get(request);
    waitFor([reply] { return reply->isFinished(); });
    const QJsonObject object = QJsonDocument::fromJson(reply->readAll()).object();
    reply->deleteLater();
    return object;
  }

  QString sandboxCode() {
    auto* model = container_->property("model").value<QObject*>();
    const QString id = model ? model->property("challengeId").toString() : QString();
    return sandbox("GET", "/_sandbox/challenge/" + id).value("code").toString();
  }

  // A new code of the challenge at once (a code verifies once, and the screens are walked again).
  QString newSandboxCode() {
    auto* model = container_->property("model").value<QObject*>();
    const QString id = model ? model->property("challengeId").toString() : QString();
    return sandbox("POST", "/_sandbox/code", QByteArray("{\"challenge\": \"") + id.toUtf8() + "\"}")
        .value("code")
        .toString();
  }

  void scriptSandbox(const QString& operation, const QString& body) {
    const QJsonObject script{{"operation", operation}, {"status", 200}, {"body", body}};
    sandbox("POST", "/_sandbox/script", QJsonDocument(script).toJson(QJsonDocument::Compact));
  }

  // The screen shown now, 320 points wide with the built-in translations in `language` and Qt's
  // dates in `locale`; `redraw` makes the screen draw again (the code screen's countdown does so
  // by itself within a second).
  void shootNarrow(const QString& name, const char* language, const QLocale& dates,
                   const std::function<void()>& redraw) {
    const QSize size = window_->size();
    const QLocale locale;
    zelk::useBuiltinTranslations(language);
    QLocale::setDefault(dates);
    window_->resize(320, 693);
    redraw();
    waitFor([] { return false; }, 1100);
    shoot(name);
    zelk::stopBuiltinTranslations();
    QLocale::setDefault(locale);
    window_->resize(size);
    redraw();
    waitFor([] { return false; }, 1100);
  }

  // The screen shown now with the application's font at twice the platform's: texts at 200 %.
  void shootLargeText(const QString& name, const std::function<void()>& redraw) {
    const QFont font = QGuiApplication::font();
    QFont large = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    large.setPixelSize(2 * QFontInfo(large).pixelSize());
    QGuiApplication::setFont(large);
    redraw();
    shoot(name);
    QGuiApplication::setFont(font);
    redraw();
  }

  // The picture of `window`, the host's by default, once what it shows has settled.
  void shoot(const QString& name, QQuickWindow* window = nullptr) {
    if (window == nullptr) window = window_;
    waitForPictures(window);
    waitFor([] { return false; }, 150);  // let pictures, layouts and repaints settle
    save(window->grabWindow(), name, window == window_ ? screenName() : window->objectName());
  }

  void save(const QImage& image, const QString& name) { save(image, name, screenName()); }

  void save(const QImage& image, const QString& name, const QString& shows) {
    const QString path = directory_ + "/" + name + ".png";
    image.save(path);
    QTextStream(stdout) << "wrote " << path << " (" << shows << ")" << Qt::endl;
  }

  int fail(const QString& why) {
    QTextStream(stderr) << "gallery: " << why << Qt::endl;
    if (top()) QTextStream(stderr) << plainText();
    return 1;
  }

  QQmlApplicationEngine& engine_;
  Platform platform_;
  std::string clientID_, user_;
  QString directory_;
  QNetworkAccessManager network_;
  std::shared_ptr<Zelk> tablet_, client_;
  QQuickWindow* window_ = nullptr;
  QObject* container_ = nullptr;
};

}  // namespace

int runGallery(QQmlApplicationEngine& engine, const Platform& platform, const std::string& clientID,
               const std::string& user, const QString& directory) {
  Walk walk(engine, platform, clientID, user, directory);
  return walk.run();
}

}  // namespace zelk::example
