// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/client.hpp>
#include <zelk/platform.hpp>
#include <zelk/qt_export.hpp>

#include <memory>

class QQmlEngine;

/// The Qt platform services of the library and the QML module "Zelk" that draws the challenge
/// screens over a Qt Quick host's content.
namespace zelk::qt {

/// The library's platform services for a Qt application. Call on the GUI thread once the
/// QGuiApplication exists, and pass the result to `Zelk::create`:
/// - the main queue runs tasks on the GUI thread, in order (delayed ones through QTimer);
/// - the preferences live in QSettings (the application's organisation and name), group "zelk";
/// - the application's state changes are posted as the two lifecycle notifications (leaving
///   the active state: will resign active; entering it: did become active);
/// - the event stream's log records go to the logging category "zelk.eventsource";
/// - challenges of a client made with `useViewController` open in a modal window over the
///   active window that the user cannot close; it uses `engine` (or one of its own when null).
/// The services are made once per process; later calls return the same ones (and ignore
/// `engine`). Clients made with them stay registered with their notification center, and so
/// alive, for the whole process. Debug records are on when the category's debug level is.
/// Without a QGuiApplication, prints a "[Zelk SDK]: " line and returns the default services.
ZELK_QT_EXPORT Platform platform(QQmlEngine* engine = nullptr);

/// Makes `client` the one that `ZelkContainer`s made from now on serve (the container made last
/// receives the client's challenges). Call on the GUI thread before QML creates a container.
///
/// In QML, `import Zelk` gives `ZelkContainer`: its default property holds the host's content;
/// `challengeVisible` tells whether the challenge covers it; `animated` (true) slides screens
/// in and out; `theme` holds the colours, which follow the application's palette, and
/// `theme.fontScale`, which follows the application's font against the platform's general font
/// (a host that doubles its font with QGuiApplication::setFont gets texts at 200 %; screens that
/// no longer fit scroll), unless the host sets `theme.followsApplicationFont` false and
/// `theme.fontScale` itself. With the built-in translations in Arabic, or an application whose
/// layout direction is right to left, the screens are mirrored; the code boxes stay left to right.
ZELK_QT_EXPORT void setClient(std::shared_ptr<Zelk> client);

/// Makes the QML module "Zelk" (ZelkContainer and the challenge screens) importable in
/// `engine`. Call before loading QML that imports it.
///
/// From the first call of this or `platform`, the device rows write their dates as Qt does for
/// the application's locale (`QLocale()`, short date and time), whatever locales the system has
/// installed; a formatter the host gives `zelk::setDateFormatter` still comes first.
ZELK_QT_EXPORT void registerQml(QQmlEngine& engine);

/// Switches on the library's translations of the screens' texts in the language of the
/// application's locale (`QLocale()`): `zelk::useBuiltinTranslations(QLocale().name())`.
/// The host's own localiser (`zelk::setLocalizer`) still comes first.
void useBuiltinTranslations();

}  // namespace zelk::qt
