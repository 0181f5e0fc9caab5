// SPDX-License-Identifier: Apache-2.0
#include "bridge.hpp"

#include "client_registry.hpp"

#include <zelk/localization.hpp>

#include <QColor>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>

#include <algorithm>

namespace zelk::qt {

namespace {

QString qstr(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QVariant paint(const std::optional<Paint>& paint) {
  if (!paint) return {};
  QColor color;
  color.setRgbF(static_cast<float>(paint->color.red), static_cast<float>(paint->color.green),
                static_cast<float>(paint->color.blue), static_cast<float>(paint->color.opacity));
  return QVariantMap{
      {"role", qstr(name(paint->role))}, {"color", color}, {"opacity", paint->opacity}};
}

}  // namespace

QVariantMap toVariant(const Element& element) {
  QVariantList children;
  for (const Element& child : element.children) children.push_back(toVariant(child));
  return {{"kind", qstr(name(element.kind))},
          {"text", qstr(element.text)},
          {"image", qstr(element.image)},
          {"url", qstr(element.url)},
          {"style", qstr(name(element.style))},
          {"weight", qstr(name(element.weight))},
          {"alignment", qstr(name(element.alignment))},
          {"foreground", paint(element.foreground)},
          {"background", paint(element.background)},
          {"cornerRadius", element.cornerRadius},
          {"size", element.size},
          {"fullWidth", element.fullWidth},
          {"enabled", element.enabled},
          {"selected", element.selected},
          {"action", qstr(element.action)},
          {"destination", qstr(element.destination)},
          {"placeholder", qstr(element.placeholder)},
          {"children", children}};
}

// ---- Code boxes -----------------------------------------------------------------------------

class BoxField final : public NativeTextField {
 public:
  BoxField(ScreenModel& model, int index) : model_(model), index_(index) {}
  void setText(std::string text) override { text_ = std::move(text); }
  void becomeFirstResponder() override { emit model_.focusRequested(index_); }
  const std::string& text() const { return text_; }

 private:
  ScreenModel& model_;
  int index_;
  std::string text_;
};

namespace {

OTPInput* codeInput(ChallengeScreen& screen) {
  auto* code = dynamic_cast<VerificationCodeView*>(&screen);
  return code ? &code->input() : nullptr;
}

}  // namespace

// ---- Screens --------------------------------------------------------------------------------

ScreenModel::ScreenModel(std::shared_ptr<ChallengeScreen> screen, QObject* parent)
    : QObject(parent), screen_(std::move(screen)) {
  token_ = screen_->subscribe([this] { emit changed(); });
  if (OTPInput* input = codeInput(*screen_)) {
    for (std::size_t i = 0; i < OTPInput::kBoxCount; ++i) {
      fields_.push_back(std::make_unique<BoxField>(*this, static_cast<int>(i)));
      input->field(i).attach(*fields_.back());
    }
  }
}

ScreenModel::~ScreenModel() {
  screen_->unsubscribe(token_);
  if (OTPInput* input = codeInput(*screen_)) {
    for (std::size_t i = 0; i < OTPInput::kBoxCount; ++i) input->field(i).detach();
  }
}

QString ScreenModel::name() const {
  return qstr(screen_->name());
}

QVariantList ScreenModel::elements() const {
  QVariantList list;
  for (const Element& element : screen_->elements()) list.push_back(toVariant(element));
  return list;
}

QStringList ScreenModel::boxes() const {
  QStringList texts;
  for (const auto& field : fields_) texts.push_back(QString::fromStdString(field->text()));
  return texts;
}

int ScreenModel::focusedBox() const {
  const OTPInput* input = codeInput(*screen_);
  return input ? input->currentFocus() : -1;
}

bool ScreenModel::rightToLeft() const {
  return builtinTranslationsRightToLeft();
}

QString ScreenModel::backText() const {
  return QString::fromStdString(builtinText("Back"));
}

bool ScreenModel::perform(const QString& action) {
  return screen_->perform(action.toStdString());
}

bool ScreenModel::editBox(int index, const QString& current, int rangeLength,
                          const QString& replacement) {
  OTPInput* input = codeInput(*screen_);
  if (!input || index < 0 || index >= static_cast<int>(OTPInput::kBoxCount) || rangeLength < 0) {
    return false;
  }
  auto* coordinator = input->field(static_cast<std::size_t>(index)).coordinator();
  const std::string text = current.toStdString();
  const bool accepted =
      coordinator && coordinator->shouldChangeCharacters(
                         text, static_cast<std::size_t>(rangeLength), replacement.toStdString());
  input->update();
  emit changed();
  return accepted;
}

void ScreenModel::tapBox(int index) {
  OTPInput* input = codeInput(*screen_);
  if (!input || index < 0) return;
  input->tap(static_cast<std::size_t>(index));
  input->update();
}

bool ScreenModel::editText(const QString& action, const QString& text) {
  auto* devices = dynamic_cast<YourDevicesView*>(screen_.get());
  if (!devices || action != QLatin1String("code")) return false;
  devices->codeChanged(text.toStdString());
  return true;
}

QString ScreenModel::plainText() const {
  return QString::fromStdString(zelk::plainText(screen_->elements()));
}

// ---- Navigation -----------------------------------------------------------------------------

ChallengeNavigation::ChallengeNavigation(std::shared_ptr<ChallengeView> view, QObject* parent)
    : QObject(parent), view_(std::move(view)) {
  token_ = view_->subscribe([this] { sync(); });
  sync();
}

ChallengeNavigation::~ChallengeNavigation() {
  view_->unsubscribe(token_);
}

ScreenModel* ChallengeNavigation::screenAt(int index) const {
  if (index < 0 || index >= depth()) return nullptr;
  return screens_[static_cast<std::size_t>(index)];
}

bool ChallengeNavigation::back() {
  return view_->back();
}

void ChallengeNavigation::release(ScreenModel* screen) {
  const auto found = std::find(retired_.begin(), retired_.end(), screen);
  if (found == retired_.end()) return;
  retired_.erase(found);
  screen->deleteLater();
}

void ChallengeNavigation::sync() {
  const auto& stack = view_->stack();
  std::size_t kept = 0;
  while (kept < screens_.size() && kept < stack.size() && screens_[kept]->screen() == stack[kept]) {
    ++kept;
  }
  while (screens_.size() > kept) {
    retired_.push_back(screens_.back());
    screens_.pop_back();
  }
  for (std::size_t i = kept; i < stack.size(); ++i) {
    screens_.push_back(new ScreenModel(stack[i], this));
  }
  emit stackChanged();
}

// ---- Container ------------------------------------------------------------------------------

ContainerModel::ContainerModel(QObject* parent) : QObject(parent) {}

ContainerModel::ContainerModel(std::shared_ptr<ZelkContainer> container, QObject* parent)
    : QObject(parent) {
  attach(std::move(container));
}

ContainerModel::~ContainerModel() {
  if (container_) container_->viewModel()->unsubscribe(token_);
}

void ContainerModel::componentComplete() {
  if (container_) return;
  if (auto client = currentClient()) attach(ZelkContainer::create(client));
}

void ContainerModel::attach(std::shared_ptr<ZelkContainer> container) {
  container_ = std::move(container);
  // The application's state is the scene's phase, for embedded and presented containers alike.
  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(app, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) { setApplicationState(state); });
    if (state_ < 0) state_ = app->applicationState();
    app->installEventFilter(this);  // for the application font's changes
  }
  token_ = container_->viewModel()->subscribe([this] { update(); });
  if (state_ >= 0) setApplicationState(state_);
  update();
}

bool ContainerModel::challengeVisible() const {
  return visible_;
}

QString ContainerModel::challengeId() const {
  return challengeId_;
}

bool ContainerModel::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ApplicationFontChange) emit fontScaleChanged();
  return QObject::eventFilter(watched, event);
}

qreal ContainerModel::fontScale() const {
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return 1;
  const QFont general = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  const qreal base = QFontInfo(general).pixelSize();
  const qreal application = QFontInfo(QGuiApplication::font()).pixelSize();
  if (base <= 0 || application <= 0) return 1;
  return std::clamp(application / base, 0.5, 4.0);
}

void ContainerModel::update() {
  const bool visible = container_ && container_->challengeVisible();
  if (visible && !navigation_) {
    if (auto view = container_->challengeView()) {
      navigation_ = new ChallengeNavigation(view, this);
      emit navigationChanged();
    }
  } else if (!visible && navigation_) {
    navigation_->deleteLater();
    navigation_ = nullptr;
    emit navigationChanged();
  }
  if (visible != visible_) {
    visible_ = visible;
    emit challengeVisibleChanged();
  }
  const auto& details = container_ ? container_->viewModel()->challengeDetails() : std::nullopt;
  const QString id = details ? QString::fromStdString(details->_id) : QString();
  if (id != challengeId_) {
    challengeId_ = id;
    emit challengeIdChanged();
  }
}

void ContainerModel::setApplicationState(int state) {
  state_ = state;
  if (!container_) return;
  switch (static_cast<Qt::ApplicationState>(state)) {
    case Qt::ApplicationActive:
      return container_->setScenePhase(ScenePhase::active);
    case Qt::ApplicationInactive:
      return container_->setScenePhase(ScenePhase::inactive);
    default:
      return container_->setScenePhase(ScenePhase::background);
  }
}

// ---- The user's own devices ----------------------------------------------------------------

YourDevicesModel::YourDevicesModel(QObject* parent) : QObject(parent) {}

void YourDevicesModel::componentComplete() {
  const auto client = currentClient();
  if (!client || screen_) return;
  screen_ = new ScreenModel(YourDevicesView::create(client), this);
  emit screenChanged();
}

std::shared_ptr<YourDevicesView> YourDevicesModel::view() const {
  if (!screen_) return nullptr;
  return std::static_pointer_cast<YourDevicesView>(screen_->screen());
}

void YourDevicesModel::refresh() {
  if (const auto devices = view()) devices->refresh();
}

}  // namespace zelk::qt
