// SPDX-License-Identifier: Apache-2.0
// Loads the QML module Zelk off screen, wraps content in a ZelkContainer, and exits 0 once the
// container has attached this device to the service at argv[1].
#include <zelk/qt.hpp>
#include <zelk/zelk.hpp>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: qt-consumer BASE_URL\n");
    return 2;
  }

  QQmlApplicationEngine engine;
  zelk::qt::registerQml(engine);
  auto platform = zelk::qt::platform(&engine);
  platform.baseURL = argv[1];
  platform.preferences = zelk::PreferencesStore::inMemory();
  auto client = zelk::Zelk::create("consumer-project", false, platform);
  client->setUserID("consumer-qt-user");
  zelk::qt::setClient(client);

  engine.loadData(R"(
    import QtQuick
    import Zelk
    Window {
      width: 390; height: 844; visible: true
      ZelkContainer {
        objectName: "container"
        anchors.fill: parent
        Rectangle { anchors.fill: parent; color: "white" }
      }
    })");
  if (engine.rootObjects().isEmpty()) {
    std::fprintf(stderr, "qt-consumer: the QML module Zelk did not load\n");
    return 1;
  }
  auto* container = engine.rootObjects().first()->findChild<QObject*>("container");
  if (!container || container->property("challengeVisible").toBool()) {
    std::fprintf(stderr, "qt-consumer: no ZelkContainer, or it shows a challenge\n");
    return 1;
  }

  // The container attaches as it is made; wait for the reply on the GUI thread.
  QElapsedTimer waited;
  waited.start();
  QTimer poll;
  int status = 1;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (client->deviceID()) {
      std::printf("qt-consumer: ZelkContainer attached %s (zelk %s)\n", client->deviceID()->c_str(),
                  ZELK_VERSION);
      status = 0;
      app.quit();
    } else if (waited.elapsed() > 20000) {
      std::fprintf(stderr, "qt-consumer: no attach reply within 20 s\n");
      app.quit();
    }
  });
  poll.start(20);
  app.exec();
  zelk::qt::setClient(nullptr);
  return status;
}
