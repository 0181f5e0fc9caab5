// SPDX-License-Identifier: Apache-2.0
// The screen models as QML sees them: QObjects that only forward the plain C++ logic's state
// and actions.
#pragma once

#include <zelk/challenge_screens.hpp>
#include <zelk/container.hpp>
#include <zelk/qt_export.hpp>
#include <zelk/your_devices.hpp>

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QQmlParserStatus>
#include <QVariantList>

#include <array>
#include <memory>
#include <vector>

namespace zelk::qt {

// The models below are private to the module, but exported from the shared library so that its
// tests can reach what the QML draws; no public header names them.

/// One element as a QML map: "kind", "text", "image", "url", "style", "weight", "alignment",
/// "foreground" and "background" ({"role", "color", "opacity"} or absent), "cornerRadius",
/// "size", "fullWidth", "enabled", "selected", "action", "destination", "placeholder",
/// "children".
QVariantMap toVariant(const Element& element);

/// The text field behind one code box: keeps the text the input shows and asks QML for the
/// keyboard focus.
class BoxField;

/// One challenge screen.
class ZELK_QT_EXPORT ScreenModel : public QObject {
  Q_OBJECT
  QML_ELEMENT
  QML_UNCREATABLE("Screens come from the challenge's navigation.")
  Q_PROPERTY(QString name READ name CONSTANT)
  Q_PROPERTY(QVariantList elements READ elements NOTIFY changed)
  Q_PROPERTY(QStringList boxes READ boxes NOTIFY changed)
  Q_PROPERTY(int focusedBox READ focusedBox NOTIFY changed)
  /// Whether the screen's language is written right to left (the built-in translations in
  /// Arabic), so that it is drawn mirrored.
  Q_PROPERTY(bool rightToLeft READ rightToLeft NOTIFY changed)
  /// The label of the back control in the screen's language: "Back" (see zelk::builtinText).
  Q_PROPERTY(QString backText READ backText NOTIFY changed)

 public:
  ScreenModel(std::shared_ptr<ChallengeScreen> screen, QObject* parent);
  ~ScreenModel() override;

  QString name() const;
  QVariantList elements() const;
  QStringList boxes() const;
  int focusedBox() const;
  bool rightToLeft() const;
  QString backText() const;
  const std::shared_ptr<ChallengeScreen>& screen() const { return screen_; }

  /// Runs an element's action; false when it is not shown or disabled.
  Q_INVOKABLE bool perform(const QString& action);
  /// The code box `index` asks whether to take an edit: `current` is its text, `rangeLength`
  /// how many of its characters the edit replaces, `replacement` the new text.
  Q_INVOKABLE bool editBox(int index, const QString& current, int rangeLength,
                           const QString& replacement);
  /// The user tapped code box `index`.
  Q_INVOKABLE void tapBox(int index);
  /// The user edited the text field whose action is `action` to `text`; false when the screen
  /// has no such field.
  Q_INVOKABLE bool editText(const QString& action, const QString& text);
  /// The screen in plain text, one line per element.
  Q_INVOKABLE QString plainText() const;

 signals:
  void changed();
  /// The code box `index` should take the keyboard focus.
  void focusRequested(int index);

 private:
  friend class BoxField;
  std::shared_ptr<ChallengeScreen> screen_;
  ChallengeScreen::Token token_ = 0;
  std::vector<std::unique_ptr<BoxField>> fields_;  // code screens only
};

/// The navigation of one challenge: its stack of screens.
class ZELK_QT_EXPORT ChallengeNavigation : public QObject {
  Q_OBJECT
  QML_ELEMENT
  QML_UNCREATABLE("The navigation comes from a container.")
  Q_PROPERTY(int depth READ depth NOTIFY stackChanged)
  Q_PROPERTY(ScreenModel* top READ top NOTIFY stackChanged)

 public:
  ChallengeNavigation(std::shared_ptr<ChallengeView> view, QObject* parent);
  ~ChallengeNavigation() override;

  int depth() const { return static_cast<int>(screens_.size()); }
  ScreenModel* top() const { return screens_.empty() ? nullptr : screens_.back(); }
  Q_INVOKABLE ScreenModel* screenAt(int index) const;
  /// Goes back one screen; false at the first.
  Q_INVOKABLE bool back();
  /// The page of a screen no longer on the stack is gone: its model may go too.
  Q_INVOKABLE void release(ScreenModel* screen);

 signals:
  void stackChanged();

 private:
  void sync();

  std::shared_ptr<ChallengeView> view_;
  ChallengeView::Token token_ = 0;
  std::vector<ScreenModel*> screens_;  // children of this object, one per screen of the stack
  std::vector<ScreenModel*> retired_;  // popped, still shown while their pages slide out
};

/// A container: the host's content with the challenge laid over it while one shows. Made by
/// QML for the client given to `setClient`, or by the presenter around a container of the
/// client's own.
class ZELK_QT_EXPORT ContainerModel : public QObject, public QQmlParserStatus {
  Q_OBJECT
  QML_NAMED_ELEMENT(ZelkContainerModel)
  Q_INTERFACES(QQmlParserStatus)
  Q_PROPERTY(bool challengeVisible READ challengeVisible NOTIFY challengeVisibleChanged)
  Q_PROPERTY(ChallengeNavigation* navigation READ navigation NOTIFY navigationChanged)
  Q_PROPERTY(QString challengeId READ challengeId NOTIFY challengeIdChanged)
  /// How much larger than the platform's general font the host has made its application font
  /// (QGuiApplication::setFont); the screens' texts grow by as much. 1 by default.
  Q_PROPERTY(qreal fontScale READ fontScale NOTIFY fontScaleChanged)

 public:
  explicit ContainerModel(QObject* parent = nullptr);
  ContainerModel(std::shared_ptr<ZelkContainer> container, QObject* parent);
  ~ContainerModel() override;

  bool challengeVisible() const;
  /// The `_id` of the challenge shown last; empty before the first.
  QString challengeId() const;
  qreal fontScale() const;
  ChallengeNavigation* navigation() const { return navigation_; }
  const std::shared_ptr<ZelkContainer>& container() const { return container_; }

  /// Reports the application's state (a Qt::ApplicationState) as the scene's phase. The model
  /// follows the application's state changes by itself.
  Q_INVOKABLE void setApplicationState(int state);

  bool eventFilter(QObject* watched, QEvent* event) override;
  void classBegin() override {}
  void componentComplete() override;

 signals:
  void challengeVisibleChanged();
  void challengeIdChanged();
  void navigationChanged();
  void fontScaleChanged();

 private:
  void attach(std::shared_ptr<ZelkContainer> container);
  void update();

  std::shared_ptr<ZelkContainer> container_;
  ChallengeViewModel::Token token_ = 0;
  bool visible_ = false;
  QString challengeId_;
  int state_ = -1;  // the application's last state, -1 before the first report
  ChallengeNavigation* navigation_ = nullptr;
};

/// The screen of the signed-in user's own devices (zelk::YourDevicesView) for the client given
/// to `setClient`, made and loading once the QML component is complete.
class ZELK_QT_EXPORT YourDevicesModel : public QObject, public QQmlParserStatus {
  Q_OBJECT
  QML_NAMED_ELEMENT(ZelkYourDevicesModel)
  Q_INTERFACES(QQmlParserStatus)
  Q_PROPERTY(ScreenModel* screen READ screen NOTIFY screenChanged)

 public:
  explicit YourDevicesModel(QObject* parent = nullptr);

  /// The screen; null before the component is complete or without a client.
  ScreenModel* screen() const { return screen_; }
  /// The screen's logic; null as above.
  std::shared_ptr<YourDevicesView> view() const;
  /// Loads the list again.
  Q_INVOKABLE void refresh();

  void classBegin() override {}
  void componentComplete() override;

 signals:
  void screenChanged();

 private:
  ScreenModel* screen_ = nullptr;
};

}  // namespace zelk::qt
