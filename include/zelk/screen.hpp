// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/challenge_view_model.hpp>
#include <zelk/color.hpp>
#include <zelk/export.hpp>
#include <zelk/main_queue.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

class Zelk;

// ---- What a screen shows --------------------------------------------------------------------

/// The kinds of element a challenge screen is made of.
enum class ElementKind {
  logo,       ///< the image at `url`, 40 high; a progress indicator while it loads or if it fails
  text,       ///< `text`
  button,     ///< `text` and/or `image`, runs `action`
  link,       ///< a navigation link: `text`, runs `action`; the screen named `destination` shows
              ///< once the screen activates the link (see `ChallengeScreen::destination`)
  progress,   ///< an indeterminate progress indicator
  spacer,     ///< flexible space that takes all free height
  divider,    ///< a horizontal line
  image,      ///< the system image `image`, `size` high when not 0
  badge,      ///< `text` on a pill-shaped `background`
  row,        ///< `children` side by side, vertically centred; tappable as a whole when `action`
  column,     ///< `children` top to bottom, lined up by `alignment`
  list,       ///< `children` (rows) top to bottom
  codeInput,  ///< the six boxes of the one-time code input
  textField,  ///< a one-line text field showing `text`, or `placeholder` while empty; the
              ///< screen takes its edits (see `YourDevicesView::codeChanged`), `action` names it
};

/// Text styles, as the host's type scale names them.
enum class TextStyle { body, title, subheadline, caption, footnote };

/// Font weights of texts.
enum class FontWeight { regular, medium, bold };

/// How text lines, and the children of a column, line up.
enum class Alignment { center, leading, trailing };

/// A colour: a role of the host's palette (which may differ between light and dark appearance)
/// or an exact colour (`exact`, from the brand or the library's assets).
struct ZELK_EXPORT Paint {
  /// The palette roles; `exact` stands for the colour in `color`.
  enum class Role { primary, secondary, white, red, blue, fill, background, exact };

  Role role = Role::primary;  ///< Which colour of the palette.
  Color color;                ///< The colour itself, for `exact` only.
  double opacity = 1;         ///< From 0 (transparent) to 1, applied over the role's colour.

  /// The palette's colour for `role`, at `opacity`.
  static Paint of(Role role, double opacity = 1) { return {role, Color{}, opacity}; }
  /// Exactly `color`, whatever the palette.
  static Paint exact(Color color) { return {Role::exact, color, 1}; }
  /// "primary", "secondary 10%", "#FF19692C" and the like.
  std::string description() const;

  /// Member-wise equality.
  friend bool operator==(const Paint&, const Paint&) = default;
};

/// How the values of the fields above are spelled in plain text and in bindings: "logo", "text",
/// "button", "link", "progress", "spacer", "divider", "image", "badge", "row", "column", "list",
/// "codeInput", "textField"; "body", "title", "subheadline", "caption", "footnote"; "regular",
/// "medium", "bold"; "center", "leading", "trailing"; "primary", "secondary", "white", "red",
/// "blue", "fill", "background", "exact".
ZELK_EXPORT std::string_view name(ElementKind kind);
/// The name of a text style, e.g. "subheadline".
ZELK_EXPORT std::string_view name(TextStyle style);
/// The name of a font weight, e.g. "bold".
ZELK_EXPORT std::string_view name(FontWeight weight);
/// The name of an alignment, e.g. "leading".
ZELK_EXPORT std::string_view name(Alignment alignment);
/// The name of a palette role, e.g. "secondary".
ZELK_EXPORT std::string_view name(Paint::Role role);

/// One element of a screen, as a UI layer draws it. Fields that do not apply to the kind keep
/// their defaults.
struct ZELK_EXPORT Element {
  ElementKind kind = ElementKind::text;  ///< What the element is; decides which fields apply.
  std::string text;                      ///< The text shown, already localised.
  /// A system image name: "arrow.right", "checkmark.circle.fill", "circle", "iphone",
  /// "ipad.landscape" or "laptopcomputer".
  std::string image;
  std::string url;                          ///< The logo's address.
  TextStyle style = TextStyle::body;        ///< The text's style.
  FontWeight weight = FontWeight::regular;  ///< The text's weight.
  Alignment alignment = Alignment::center;  ///< How text lines, or a column's children, line up.
  std::optional<Paint> foreground;          ///< Text and image colour; absent: the kind's default.
  std::optional<Paint> background;          ///< Fill behind the element; absent: none.
  double cornerRadius = 0;                  ///< Rounding of the background's corners, in points.
  double size = 0;                ///< Image height or frame, in points; 0 for the default.
  bool fullWidth = false;         ///< Stretched to the available width.
  bool enabled = true;            ///< False also disables every child.
  bool selected = false;          ///< A device row the user ticked.
  std::string action;             ///< Passed to `ChallengeScreen::perform`; empty when none.
  std::string destination;        ///< Links: the name of the screen they show.
  std::string placeholder;        ///< Text fields: the hint shown while the field is empty.
  std::vector<Element> children;  ///< The elements of a row, column or list.

  /// One line (rows, including their children) or several (a list: its line, then one
  /// indented line per row) describing the element in plain text.
  std::string plainText() const;
};

/// The elements one per line, top to bottom, as logs, tests and terminal hosts print a screen.
ZELK_EXPORT std::string plainText(const std::vector<Element>& elements);

// ---- Screens --------------------------------------------------------------------------------

/// A screen of the challenge: its state, the elements it shows and its actions.
///
/// A UI layer draws `elements()` (or binds to the concrete screen's fields), calls `perform`
/// with an element's `action` when the user activates it, and draws again after each change
/// notification. A screen whose navigation link activates offers the next screen through
/// `destination()`; `ChallengeView` pushes it.
///
/// Screens are shown through a `ChallengeView`, which tells them when they come on screen (the
/// device limiter then loads, the code screen starts its countdown) and follows their links.
///
/// Threads: main thread only. Service replies that arrive on the HTTP thread are applied on the
/// client's main queue; a screen that is gone by then ignores them.
class ZELK_EXPORT ChallengeScreen : public std::enable_shared_from_this<ChallengeScreen> {
 public:
  using Observer = Observers::Observer;  ///< Called after a change, on the main thread.
  using Token = Observers::Token;        ///< Identifies one subscription.

  virtual ~ChallengeScreen();
  ChallengeScreen(const ChallengeScreen&) = delete;
  ChallengeScreen& operator=(const ChallengeScreen&) = delete;

  /// "ChallengeEntryView", "DeviceLimiterView", "VerificationOptionsView",
  /// "VerificationCodeView" or "YourDevicesView".
  virtual std::string_view name() const = 0;

  /// What the screen shows now, top to bottom.
  virtual std::vector<Element> elements() const = 0;

  /// Runs `action` if an element shown now carries it and is enabled (with all its parents).
  /// Returns whether it ran.
  bool perform(std::string_view action);

  /// The screen that this screen's active navigation link shows; null while no link is active.
  const std::shared_ptr<ChallengeScreen>& destination() const { return destination_; }

  /// Calls `observer` after every change of what the screen shows, the shared state included.
  Token subscribe(Observer observer);
  /// Stops the calls of the subscription `token`; unknown tokens are ignored.
  void unsubscribe(Token token);

  /// The challenge state this screen shares with the container and the other screens.
  const std::shared_ptr<ChallengeViewModel>& viewModel() const { return viewModel_; }

 protected:
  /// A screen over the shared state `viewModel` that calls the service through `zelk` (held
  /// weakly) and queues replies on `zelk`'s main queue.
  ChallengeScreen(std::shared_ptr<ChallengeViewModel> viewModel, std::shared_ptr<Zelk> zelk);

  /// Runs one of the screen's own actions; unknown ones are ignored.
  virtual void run(std::string_view action) = 0;
  /// The screen came on screen.
  virtual void appeared() {}
  /// The screen went off screen for good.
  virtual void disappeared() {}
  /// The user navigated back from `destination()`: the link's activation flag resets.
  virtual void linkDismissed() {}

  /// Activates the navigation link that shows `destination`; null deactivates it.
  void setDestination(std::shared_ptr<ChallengeScreen> destination);
  /// Tells the observers that what the screen shows changed.
  void changed();

  /// Takes ownership of a new screen and has it redraw on every change of the view model.
  template <typename Screen>
  static std::shared_ptr<Screen> adopt(Screen* screen) {
    std::shared_ptr<Screen> shared(screen);
    shared->observeViewModel();
    return shared;
  }

  std::shared_ptr<ChallengeViewModel> viewModel_;  ///< The shared challenge state.
  /// The client the screen calls; weak, as the client may own the container showing the screen.
  std::weak_ptr<Zelk> zelk_;
  std::shared_ptr<MainQueue> mainQueue_;  ///< Where service replies are applied.

 private:
  friend class ChallengeView;
  void observeViewModel();

  std::shared_ptr<ChallengeScreen> destination_;
  Observers observers_;
  ChallengeViewModel::Token viewModelToken_ = 0;
};

}  // namespace zelk
