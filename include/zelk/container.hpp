// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/challenge_view_model.hpp>
#include <zelk/export.hpp>
#include <zelk/main_queue.hpp>

#include <functional>
#include <memory>

namespace zelk {

class Zelk;
class ChallengeView;
struct ZelkAttachResponse;
struct ChallengeDetails;

/// The phases of the scene that shows a container.
enum class ScenePhase { active, inactive, background };

/// The logic of the view that wraps the host's content and lays the challenge over it.
///
/// A UI layer draws the host's content and, while `challengeVisible()` is true, the challenge
/// screens over it, covering the content completely; it reports its scene's phase changes with
/// `setScenePhase`. Making a container replaces the client's challenge receiver (the container
/// made last wins) and attaches the client.
///
/// Threads: main thread only. Replies that arrive elsewhere are applied on the main queue.
class ZELK_EXPORT ZelkContainer : public std::enable_shared_from_this<ZelkContainer> {
 public:
  /// Makes a container for `zelk`: a new state object, the client's challenges routed to it, and
  /// one attach whose reply records the current device in the state object.
  static std::shared_ptr<ZelkContainer> create(std::shared_ptr<Zelk> zelk);

  /// The client; null once it is gone (its notification center normally keeps it for good).
  std::shared_ptr<Zelk> zelk() const { return zelk_.lock(); }
  /// The state shared with the challenge screens.
  const std::shared_ptr<ChallengeViewModel>& viewModel() const { return viewModel_; }
  /// Whether the challenge covers the content now.
  bool challengeVisible() const { return viewModel_->challengeVisible(); }

  /// The challenge's screens while `challengeVisible()`: made on the first call after the
  /// challenge shows, starting at the entry screen, and dropped when it hides. Null while hidden
  /// or once the client is gone.
  std::shared_ptr<ChallengeView> challengeView();

  /// Shows `details`: queues, on the main queue, `challengeVisible` = true and then the details.
  /// The challenge already on show (the same `_id`, still visible) delivered again changes
  /// nothing: its screens keep their state, the channel the user chose included.
  void onChallenge(const ChallengeDetails& details);
  /// Queues, on the main queue, the reply's device (when it names one) as the current device.
  void onAttach(const ZelkAttachResponse& response);

  /// Reports the scene's phase. A change to background or inactive detaches the current device;
  /// a change to active attaches. The first report only records the phase.
  void setScenePhase(ScenePhase phase);

 private:
  explicit ZelkContainer(std::shared_ptr<Zelk> zelk);
  // The completion of this container's attach calls.
  std::function<void(const ZelkAttachResponse&)> attachReceiver();
  // Queues the reply's device, when it names one, as the current device of the container.
  static void queueAttach(std::weak_ptr<ZelkContainer> weak, MainQueue& queue,
                          const ZelkAttachResponse& response);

  // Weak: the client keeps the container it presents itself, and must not be kept by it.
  std::weak_ptr<Zelk> zelk_;
  std::shared_ptr<MainQueue> mainQueue_;
  std::shared_ptr<ChallengeViewModel> viewModel_;
  std::optional<ScenePhase> scenePhase_;
  std::shared_ptr<ChallengeView> challengeView_;
};

/// Shows the challenge container as a modal screen of its own, for clients made with
/// `useViewController` true. A Qt host installs one that opens a modal window over its active
/// window.
///
/// Threads: the library calls it on the main thread.
class ZELK_EXPORT ChallengePresenter {
 public:
  virtual ~ChallengePresenter() = default;

  /// Presents `container` modally over the host's active window, animated, in a way the user
  /// cannot dismiss. Returns false, presenting nothing, when the host has no active window.
  virtual bool present(std::shared_ptr<ZelkContainer> container) = 0;

  /// Dismisses a container that `present` showed, animated, and then calls `completion` on the
  /// main thread.
  virtual void dismiss(std::shared_ptr<ZelkContainer> container,
                       std::function<void()> completion) = 0;
};

}  // namespace zelk
