// SPDX-License-Identifier: Apache-2.0
#include <zelk/localization.hpp>
#include <zelk/logs.hpp>
#include <zelk/notification_center.hpp>
#include <zelk/qt.hpp>

#include "bridge.hpp"
#include "client_registry.hpp"

#include <QCloseEvent>
#include <QDateTime>
#include <QGuiApplication>
#include <QLocale>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QPointer>
#include <QQmlEngine>
#include <QQuickView>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

Q_LOGGING_CATEGORY(zelkEventSource, "zelk.eventsource")

namespace zelk::qt {

namespace {

// Runs tasks on the GUI thread through its event loop.
class GuiQueue final : public MainQueue {
 public:
  GuiQueue() : context_(new QObject) {
    context_->moveToThread(QCoreApplication::instance()->thread());
  }
  ~GuiQueue() override { context_->deleteLater(); }

  void post(Task task) override {
    QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
  }

  void postAfter(std::chrono::milliseconds delay, Task task) override {
    // The timer starts on the GUI thread, whichever thread asks.
    post([context = context_, delay, task = std::move(task)] {
      QTimer::singleShot(delay, context, task);
    });
  }

  bool isCurrentThread() const override { return QThread::currentThread() == context_->thread(); }

 private:
  QObject* context_;
};

// Keeps the texts in the application's QSettings, under the group "zelk".
class SettingsStore final : public PreferencesStore {
 public:
  std::optional<std::string> string(const std::string& key) const override {
    std::lock_guard lock(mutex_);
    QSettings settings;
    const QVariant value = settings.value(settingsKey(key));
    if (!value.isValid()) return std::nullopt;
    return value.toString().toStdString();
  }

  void set(const std::string& key, std::optional<std::string> value) override {
    std::lock_guard lock(mutex_);
    QSettings settings;
    if (value) {
      settings.setValue(settingsKey(key), QString::fromStdString(*value));
    } else {
      settings.remove(settingsKey(key));
    }
    settings.sync();
  }

 private:
  static QString settingsKey(const std::string& key) {
    return QStringLiteral("zelk/") + QString::fromStdString(key);
  }
  mutable std::mutex mutex_;
};

// Ignores the user's attempts to close the window it watches.
class CloseBlocker final : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Close) {
      event->ignore();
      return true;
    }
    return QObject::eventFilter(watched, event);
  }
};

// Shows a client's own challenge container in a modal window over the active window.
class WindowPresenter final : public ChallengePresenter {
 public:
  explicit WindowPresenter(QQmlEngine* engine) : engine_(engine) {}

  bool present(std::shared_ptr<ZelkContainer> container) override {
    if (const auto shown = windows_.find(container.get());
        shown != windows_.end() && shown->second) {
      return true;  // already on screen
    }
    QWindow* parent = QGuiApplication::focusWindow();
    if (!parent) {
      for (QWindow* window : QGuiApplication::topLevelWindows()) {
        if (window->isVisible()) parent = window;
      }
    }
    if (!parent) return false;
    if (!engine_) engine_ = new QQmlEngine(QCoreApplication::instance());
    registerQml(*engine_);
    auto* view = new QQuickView(engine_, nullptr);
    view->setObjectName(QStringLiteral("zelkPresentedChallenge"));
    view->setTransientParent(parent);
    view->setModality(Qt::ApplicationModal);
    view->setResizeMode(QQuickView::SizeRootObjectToView);
    view->setInitialProperties(
        {{QStringLiteral("model"), QVariant::fromValue(new ContainerModel(container, view))}});
    view->setSource(QUrl(QStringLiteral("qrc:/qt/qml/Zelk/PresentedChallenge.qml")));
    if (view->status() != QQuickView::Ready) {
      // A window the user cannot close must never come up empty.
      qCWarning(zelkEventSource) << "the challenge window could not load:" << view->errors();
      delete view;
      return false;
    }
    view->installEventFilter(new CloseBlocker(view));
    view->resize(parent->size());
    view->setPosition(parent->position());
    view->show();
    windows_[container.get()] = view;
    return true;
  }

  void dismiss(std::shared_ptr<ZelkContainer> container,
               std::function<void()> completion) override {
    const auto found = windows_.find(container.get());
    if (found != windows_.end()) {
      if (found->second) {
        found->second->hide();
        found->second->deleteLater();
      }
      windows_.erase(found);
    }
    if (completion) QTimer::singleShot(0, QCoreApplication::instance(), completion);
  }

 private:
  QPointer<QQmlEngine> engine_;
  std::map<const ZelkContainer*, QPointer<QQuickView>> windows_;
};

// Dates in the device rows as Qt writes them for the application's locale: Qt carries its own
// locale data, so this holds whatever locales the system has installed.
void useQtDates() {
  static const bool installed = [] {
    setPlatformDateFormatter([](Date date) {
      const QDateTime time = QDateTime::fromMSecsSinceEpoch(date.time_since_epoch().count());
      return QLocale().toString(time.toLocalTime(), QLocale::ShortFormat).toStdString();
    });
    return true;
  }();
  (void)installed;
}

std::shared_ptr<Zelk>& clientSlot() {
  static std::shared_ptr<Zelk> client;
  return client;
}

}  // namespace

std::shared_ptr<Zelk> currentClient() {
  return clientSlot();
}

void setClient(std::shared_ptr<Zelk> client) {
  clientSlot() = std::move(client);
}

void useBuiltinTranslations() {
  zelk::useBuiltinTranslations(QLocale().name().toStdString());
}

Platform platform(QQmlEngine* engine) {
  useQtDates();
  auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  if (!app) {
    // Nothing here can work without the application's GUI thread and event loop.
    std::fputs(
        "[Zelk SDK]: zelk::qt::platform() needs a QGuiApplication; it returns the "
        "library's default services until one exists.\n",
        stdout);
    return {};
  }
  static const Platform services = [engine, app] {
    Platform made;
    made.mainQueue = std::make_shared<GuiQueue>();
    made.preferences = std::make_shared<SettingsStore>();
    made.notifications = std::make_shared<NotificationCenter>(made.mainQueue);
    made.presenter = std::make_shared<WindowPresenter>(engine);

    // Leaving the active state and coming back are the two lifecycle notifications.
    {
      QObject::connect(
          app, &QGuiApplication::applicationStateChanged, app,
          [center = made.notifications, active = app->applicationState() == Qt::ApplicationActive](
              Qt::ApplicationState state) mutable {
            const bool nowActive = state == Qt::ApplicationActive;
            if (nowActive == active) return;
            active = nowActive;
            center->post(nowActive ? AppNotification::didBecomeActive
                                   : AppNotification::willResignActive);
          });
    }

    // The records go to the logging category; its debug level switches the debug records on,
    // and the default sink comes back before the category goes away at exit.
    Logs::setDebugEnabled(zelkEventSource().isDebugEnabled());
    QObject::connect(app, &QCoreApplication::aboutToQuit, [] { Logs::setSink({}); });
    Logs::setSink([](const Logs::Record& record) {
      if (record.category == Logs::sdkCategory) {
        // The lines to the developer stay on standard output, as without Qt; one write each, so
        // lines from several threads do not interleave.
        const std::string line = "[Zelk SDK]: " + std::string(record.message) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
        return;
      }
      const QString message =
          QString::fromUtf8(record.message.data(), static_cast<qsizetype>(record.message.size()));
      switch (record.level) {
        case Logs::Level::debug:
          qCDebug(zelkEventSource).noquote() << message;
          break;
        case Logs::Level::info:
          qCInfo(zelkEventSource).noquote() << message;
          break;
        case Logs::Level::warn:
          qCWarning(zelkEventSource).noquote() << message;
          break;
        case Logs::Level::error:
          qCCritical(zelkEventSource).noquote() << message;
          break;
      }
    });
    return made;
  }();
  return services;
}

}  // namespace zelk::qt

// Made by the QML module's build: registers the module's C++ types.
void qml_register_types_Zelk();

namespace zelk::qt {

void registerQml(QQmlEngine& engine) {
  useQtDates();
  static const bool registered = [] {
    qml_register_types_Zelk();
    return true;
  }();
  (void)registered;
  engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
}

}  // namespace zelk::qt
