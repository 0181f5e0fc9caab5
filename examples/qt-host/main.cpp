// SPDX-License-Identifier: Apache-2.0
// A Qt Quick host: its content wrapped in ZelkContainer (or, with --presented, a client that
// presents challenges in a window of its own), against a service such as the sandbox.
//
//   zelk-example-qt-host --base-url URL [--client-id ID] [--user NAME] [--presented]
//                        [--vendor-id ID] [--gallery DIR]
//
// With --gallery the host runs the whole road of a challenge by itself, off screen, and writes
// a picture of every screen and state into DIR, the screen of the user's own devices last; the
// service must be the sandbox, with a project that allows one device and asks for verification,
// and a user with an e-mail address.
#include <zelk/qt.hpp>
#include <zelk/zelk.hpp>

#include "gallery.hpp"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  QGuiApplication::setOrganizationName("zelk");
  QGuiApplication::setApplicationName("example-qt-host");
  QQuickStyle::setStyle("Basic");

  QCommandLineParser parser;
  parser.addHelpOption();
  const QCommandLineOption baseURL("base-url", "The service's base URL.", "url");
  const QCommandLineOption clientID("client-id", "The project's client ID.", "id", "demo-project");
  const QCommandLineOption user("user", "The signed-in user.", "name", "alice");
  const QCommandLineOption vendorID("vendor-id", "Act as the device with this ID.", "id");
  const QCommandLineOption presented("presented", "Let the client present challenges itself.");
  const QCommandLineOption gallery("gallery", "Walk a challenge and write pictures to DIR.", "dir");
  parser.addOptions({baseURL, clientID, user, vendorID, presented, gallery});
  parser.process(app);

  QQmlApplicationEngine engine;
  zelk::qt::registerQml(engine);
  zelk::Platform platform = zelk::qt::platform(&engine);
  platform.baseURL = parser.value(baseURL).toStdString();
  if (parser.isSet(vendorID)) {
    platform.deviceFacts = [id = parser.value(vendorID).toStdString()] {
      zelk::DeviceFacts facts = zelk::currentDeviceFacts();
      facts.identifierForVendor = id;
      return facts;
    };
  }
  if (parser.isSet(gallery)) {
    return zelk::example::runGallery(engine, platform, parser.value(clientID).toStdString(),
                                     parser.value(user).toStdString(), parser.value(gallery));
  }

  auto client =
      zelk::Zelk::create(parser.value(clientID).toStdString(), parser.isSet(presented), platform);
  client->setUserID(parser.value(user).toStdString());
  client->onLogoutCurrentDevice = [] { qInfo("the user is signed out of this device"); };
  zelk::qt::setClient(client);
  if (parser.isSet(presented)) {
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/ExampleHost/PresentedHost.qml")));
    client->attach();
  } else {
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/ExampleHost/Main.qml")));
  }
  if (engine.rootObjects().isEmpty()) return 1;
  return QGuiApplication::exec();
}
