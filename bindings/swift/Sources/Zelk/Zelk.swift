// SPDX-License-Identifier: Apache-2.0
// A thin Swift layer over the C interface (module CZelk, <zelk/zelk.h>): handles become classes
// that free them, failing statuses become thrown ZelkErrors, texts cross as UTF-8. The library's
// main thread is the main queue: every call here that the C interface marks "main thread" must
// be made on it, and the container's notices arrive there.
import CZelk
import Foundation

/// A failing status of the C interface and its message.
public struct ZelkError: Error, CustomStringConvertible {
  public let status: zelk_status
  public let message: String
  public var description: String { "\(String(cString: zelk_status_name(status))): \(message)" }
}

func check(_ status: zelk_status) throws {
  guard status != ZELK_OK else { return }
  var text: UnsafeMutablePointer<CChar>? = nil
  var length = 0
  zelk_last_error(&text, &length)
  defer { zelk_string_free(text) }
  throw ZelkError(status: status, message: text.map { String(cString: $0) } ?? "")
}

/// Hands a string the library allocated over to Swift.
func take(_ call: (UnsafeMutablePointer<UnsafeMutablePointer<CChar>?>, UnsafeMutablePointer<Int>) -> zelk_status) throws -> String? {
  var text: UnsafeMutablePointer<CChar>? = nil
  var length = 0
  try check(call(&text, &length))
  defer { zelk_string_free(text) }
  return text.map { String(cString: $0) }
}

/// The library's main-thread work on the main dispatch queue.
private let postToMain: zelk_post_fn = { _, task, delay in
  DispatchQueue.main.asyncAfter(deadline: .now() + .milliseconds(Int(delay))) { zelk_task_run(task) }
}
private let isMainThread: zelk_is_main_thread_fn = { _ in Thread.isMainThread }

/// A Swift closure as a callback's user data, released by the C interface.
final class Box<T> {
  let value: T
  init(_ value: T) { self.value = value }
  var retained: UnsafeMutableRawPointer { Unmanaged.passRetained(self).toOpaque() }
  static func of(_ pointer: UnsafeMutableRawPointer?) -> T {
    Unmanaged<Box<T>>.fromOpaque(pointer!).takeUnretainedValue().value
  }
}
private let release: zelk_free_fn = { pointer in
  if let pointer { Unmanaged<AnyObject>.fromOpaque(pointer).release() }
}

/// The client an app makes once (zelk_client).
public final class Client {
  let handle: OpaquePointer

  public init(clientID: String, baseURL: String? = nil) throws {
    var options = zelk_client_options()
    try check(zelk_client_options_init(&options))
    options.post = postToMain
    options.is_main_thread = isMainThread
    var made: OpaquePointer? = nil
    let status: zelk_status = (baseURL ?? "").withCString { url in
      options.base_url = baseURL == nil ? nil : url
      options.base_url_length = baseURL == nil ? 0 : strlen(url)
      return zelk_client_new(clientID, strlen(clientID), &options, &made)
    }
    try check(status)
    handle = made!
  }

  deinit { zelk_client_free(handle) }

  public func setUserID(_ userID: String?) throws {
    if let userID {
      try check(zelk_client_set_user_id(handle, userID, strlen(userID)))
    } else {
      try check(zelk_client_set_user_id(handle, nil, 0))
    }
  }

  /// Reports this device; `onReply` gets the reply's device ID on the main queue.
  public func attach(onReply: ((String?) -> Void)? = nil) throws {
    guard let onReply else {
      return try check(zelk_client_attach(handle, nil, 0, nil, nil, nil))
    }
    let callback: zelk_attach_fn = { data, response in
      let device = try? take { zelk_attach_response_text(response, ZELK_ATTACH_DEVICE_ID, $0, $1) }
      let done = Box<(String?) -> Void>.of(data)
      DispatchQueue.main.async { done(device ?? nil) }
    }
    try check(zelk_client_attach(handle, nil, 0, callback, Box(onReply).retained, release))
  }

  public var deviceID: String? {
    get throws { try take { zelk_client_device_id(handle, $0, $1) } }
  }
}

/// The view logic that lays a challenge over the content (zelk_container). Main queue only.
public final class Container {
  let handle: OpaquePointer

  public init(client: Client) throws {
    var made: OpaquePointer? = nil
    try check(zelk_container_new(client.handle, &made))
    handle = made!
  }

  deinit { zelk_container_free(handle) }

  /// `onChange` runs on the main queue after every change of what the container shows.
  @discardableResult
  public func subscribe(_ onChange: @escaping () -> Void) throws -> UInt64 {
    var token: UInt64 = 0
    let callback: zelk_notify_fn = { data in Box<() -> Void>.of(data)() }
    try check(zelk_container_subscribe(handle, callback, Box(onChange).retained, release, &token))
    return token
  }

  /// The screen on top as text, one element per line; nil while the challenge is hidden.
  public func screenText() throws -> String? {
    var screen: OpaquePointer? = nil
    try check(zelk_container_screen(handle, &screen))
    guard let screen else { return nil }
    defer { zelk_screen_free(screen) }
    return try take { zelk_screen_text(screen, ZELK_SCREEN_PLAIN_TEXT, $0, $1) }
  }

  /// Runs an action of the screen on top; whether it ran.
  public func perform(_ action: String) throws -> Bool {
    var screen: OpaquePointer? = nil
    try check(zelk_container_screen(handle, &screen))
    guard let screen else { return false }
    defer { zelk_screen_free(screen) }
    var performed = false
    try check(zelk_screen_perform(screen, action, strlen(action), &performed))
    return performed
  }
}
