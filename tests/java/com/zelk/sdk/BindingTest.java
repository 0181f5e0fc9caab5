// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.ServerSocket;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.UUID;
import java.util.concurrent.Callable;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import java.util.function.BooleanSupplier;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The JVM binding against zelk-server in sandbox mode (ZELK_TEST_URL, ZELK_TEST_CLIENT_ID): the
 * road of a challenge through the screens, and the exceptions a host's mistakes get. Run with
 * -Xcheck:jni; every method named test* is one case.
 */
public final class BindingTest {
  static final String URL = System.getenv("ZELK_TEST_URL");
  static final String CLIENT_ID = System.getenv("ZELK_TEST_CLIENT_ID");

  final MainThread.Dedicated main = MainThread.newThread("zelk-test-main");
  final List<Client> clients = new ArrayList<>();
  // Devices stay attached on the server: each case but the road has a user of its own.
  String user = "user-" + UUID.randomUUID();

  // ---- Support -------------------------------------------------------------------------------

  static void check(boolean condition, String what) {
    if (!condition) throw new AssertionError(what);
  }

  static void equal(Object expected, Object actual, String what) {
    if (expected == null ? actual != null : !expected.equals(actual)) {
      throw new AssertionError(what + ": expected <" + expected + "> but was <" + actual + ">");
    }
  }

  /** Runs {@code call} on the main thread and waits for its result. */
  <T> T onMain(Callable<T> call) throws Exception {
    CompletableFuture<T> result = new CompletableFuture<>();
    main.post(
        () -> {
          try {
            result.complete(call.call());
          } catch (Throwable error) {
            result.completeExceptionally(error);
          }
        },
        0);
    try {
      return result.get(10, TimeUnit.SECONDS);
    } catch (java.util.concurrent.ExecutionException wrapped) {
      if (wrapped.getCause() instanceof Exception) throw (Exception) wrapped.getCause();
      throw new AssertionError(wrapped.getCause());
    }
  }

  /** Waits until {@code condition}, checked on the main thread, holds (at most 10 s). */
  void waitFor(BooleanSupplier condition, String what) throws Exception {
    long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
    while (!onMain(condition::getAsBoolean)) {
      if (System.nanoTime() > deadline) throw new AssertionError("timed out waiting for " + what);
      Thread.sleep(10);
    }
  }

  Client client(String model, String baseUrl) {
    Client client =
        new Client(
            CLIENT_ID,
            main,
            new Client.Options()
                .baseUrl(baseUrl)
                .inMemoryPreferences()
                .device(model, "Android", "14", UUID.randomUUID().toString().toUpperCase()));
    client.setUserId(user);
    clients.add(client);
    return client;
  }

  Client client(String model) {
    return client(model, URL);
  }

  static ZelkException expect(Status status, Runnable call) {
    try {
      call.run();
    } catch (ZelkException error) {
      equal(status, error.status(), "status of " + error.getMessage());
      return error;
    }
    throw new AssertionError("expected " + status + ", nothing was thrown");
  }

  static String sandboxCode(String challengeId) throws Exception {
    HttpResponse<String> reply =
        HttpClient.newHttpClient()
            .send(
                HttpRequest.newBuilder(URI.create(URL + "/_sandbox/challenge/" + challengeId))
                    .build(),
                HttpResponse.BodyHandlers.ofString());
    Matcher code = Pattern.compile("\"code\"\\s*:\\s*\"([^\"]+)\"").matcher(reply.body());
    check(code.find(), "a code in " + reply.body());
    return code.group(1);
  }

  static String findAction(List<Element> elements, String action) {
    for (Element element : elements) {
      if (element.action().equals(action)) return element.text();
      String inside = findAction(element.children(), action);
      if (inside != null) return inside;
    }
    return null;
  }

  void tearDown() throws Exception {
    for (Client client : clients) {
      client.flush(Duration.ofSeconds(5));
      onMain(
          () -> {
            client.close();
            return null;
          });
    }
    main.close();
  }

  // ---- The road ------------------------------------------------------------------------------

  void testWalksTheChallengeRoad() throws Exception {
    user = "alice"; // the one with an e-mail address
    Client tablet = client("Pixel Tablet");
    AtomicReference<AttachResponse> reply = new AtomicReference<>();
    AtomicReference<Thread> replyThread = new AtomicReference<>();
    tablet.attach(
        Map.of("plan", "pro"),
        response -> {
          replyThread.set(Thread.currentThread());
          reply.set(response);
        });
    waitFor(() -> reply.get() != null, "the tablet's attach reply");
    equal(main.thread(), replyThread.get(), "the thread the reply ran on");
    equal(1L, reply.get().attachedDevices(), "attached devices");
    equal(tablet.deviceId(), reply.get().deviceId(), "the device ID");
    AtomicInteger tabletLoggedOut = new AtomicInteger();
    onMain(
        () -> {
          tablet.onLogout(tabletLoggedOut::incrementAndGet);
          return null;
        });

    Client phone = client("Pixel 8");
    Container container = onMain(() -> new Container(phone));
    AtomicInteger changes = new AtomicInteger();
    onMain(() -> container.subscribe(changes::incrementAndGet));
    waitFor(container::challengeVisible, "the challenge");
    check(changes.get() > 0, "change notices");
    Challenge challenge = onMain(container::challenge);
    equal("Bindings Road", challenge.projectName(), "the project's name");

    try (Screen entry = onMain(container::screen)) {
      equal(ScreenKind.ENTRY, entry.kind(), "the first screen");
      equal("Start your own Bindings Road account today", entry.text(Screen.TITLE), "its title");
      equal("Verify to continue", findAction(entry.elements(), "verifyToContinue"), "its link");
      check(onMain(() -> entry.perform("verifyToContinue")), "verify to continue");
    }
    try (Screen options = onMain(container::screen)) {
      equal(ScreenKind.VERIFICATION_OPTIONS, options.kind(), "the second screen");
      check(options.plainText().contains("alice@example.com"), "the address offered");
      check(onMain(() -> options.perform("requestEmailCode")), "request an e-mailed code");
    }
    waitFor(
        () -> {
          try (Screen top = container.screen()) {
            return top.kind() == ScreenKind.VERIFICATION_CODE;
          }
        },
        "the code screen");
    String code = sandboxCode(challenge.id());
    try (Screen screen = onMain(container::screen)) {
      equal(6, onMain(() -> screen.typeCode(code)), "characters typed");
    }
    try (Screen screen = onMain(container::screen)) {
      equal(1L, screen.number(Screen.VALID_CODE), "a valid code");
      check(onMain(() -> screen.perform("verifyCode")), "verify the code");
    }
    BooleanSupplier limiterLoaded =
        () -> {
          try (Screen top = container.screen()) {
            return top != null
                && top.kind() == ScreenKind.DEVICE_LIMITER
                && top.deviceLimit() != null
                && !container.loadingDevices()
                && !container.detachLoading();
          }
        };
    waitFor(limiterLoaded, "the device limiter");
    try (Screen limiter = onMain(container::screen)) {
      check(limiter.deviceLimit().over(), "over the limit");
      equal(2L, limiter.deviceLimit().attachedTotal(), "attached devices");
      List<Device> devices = onMain(container::attachedDevices);
      check(devices.stream().anyMatch(d -> d.id().equals(tablet.deviceId())), "the tablet listed");
      check(onMain(() -> limiter.toggleDevice(tablet.deviceId())), "tick the tablet");
    }
    try (Screen ticked = onMain(container::screen)) {
      equal(tablet.deviceId(), ticked.selectedDevices().get(0).id(), "the ticked device");
      check(onMain(() -> ticked.perform("logOut")), "log the tablet out");
    }
    waitFor(() -> tabletLoggedOut.get() == 1 && limiterLoaded.getAsBoolean(), "the logout");
    try (Screen complete = onMain(container::screen)) {
      check(!complete.deviceLimit().over(), "within the limit");
      check(complete.plainText().contains("Verification complete"), "the confirmation");
      check(onMain(() -> complete.perform("logOut")), "continue");
    }
    waitFor(() -> !container.challengeVisible(), "the content again");
    equal(null, onMain(container::screen), "no screen");
    onMain(
        () -> {
          container.close();
          return null;
        });
  }

  // ---- Mistakes ------------------------------------------------------------------------------

  void testANullHandle() {
    ZelkException error = expect(Status.NULL_ARGUMENT, () -> new Screen(0).kind());
    check(error.getMessage().contains("screen is NULL"), error.getMessage());
  }

  void testTextThatIsNotUtf8() {
    Client client = client("Pixel 8");
    expect(Status.INVALID_UTF8, () -> client.setUserId("lone \uD800 surrogate"));
    client.setUserId("\uD83D\uDE00 is fine");
    expect(Status.INVALID_ARGUMENT, () -> client.attach(java.util.Collections.singletonMap("k", null), null));
  }

  void testAFreedHandleUsedAgain() throws Exception {
    Client client = client("Pixel 8");
    clients.remove(client);
    client.close();
    expect(Status.INVALID_HANDLE, () -> client.setUserId("bob"));
    expect(Status.INVALID_HANDLE, client::deviceId);
    client.close(); // twice is harmless
  }

  void testACallbackThatCallsBackIn() throws Exception {
    client("Pixel Tablet").attach(null, null);
    Client phone = client("Pixel 8");
    Container container = onMain(() -> new Container(phone));
    AtomicReference<Status> back = new AtomicReference<>();
    onMain(
        () ->
            container.subscribe(
                () -> {
                  try (Screen screen = container.screen()) { // reading is allowed inside
                    if (screen == null || back.get() != null) return;
                    container.back();
                    back.set(Status.OK);
                  } catch (ZelkException error) {
                    back.set(error.status());
                  }
                }));
    waitFor(() -> back.get() != null, "a screen inside the notice");
    equal(Status.REENTRANT, back.get(), "acting inside the notice");
    onMain(
        () -> {
          container.close();
          return null;
        });
  }

  void testAClientFreedWithARequestInFlight() throws Exception {
    try (ServerSocket silent = new ServerSocket(0, 8, java.net.InetAddress.getLoopbackAddress())) {
      Client client = client("Pixel 8", "http://127.0.0.1:" + silent.getLocalPort());
      clients.remove(client);
      AtomicInteger replies = new AtomicInteger();
      client.attach(null, response -> replies.incrementAndGet());
      check(!client.flush(Duration.ofMillis(200)), "the request is held");
      onMain(
          () -> {
            client.close();
            return null;
          });
      Thread.sleep(200);
      equal(0, replies.get(), "replies");
      expect(Status.INVALID_HANDLE, client::deviceId);
    }
  }

  void testMainThreadCallsFromAnotherThread() {
    Client client = client("Pixel 8");
    expect(Status.WRONG_THREAD, () -> new Container(client));
    expect(Status.WRONG_THREAD, () -> client.onLogout(() -> {}));
  }

  void testVersion() {
    equal(1, Native.abiVersion(), "the C interface's version");
    check(Native.text(Native.version()).matches("\\d+\\.\\d+\\.\\d+"), "the library's version");
  }

  // ---- Runner --------------------------------------------------------------------------------

  public static void main(String[] args) throws Exception {
    int failures = 0;
    int run = 0;
    for (Method method : BindingTest.class.getDeclaredMethods()) {
      if (!method.getName().startsWith("test")) continue;
      if (args.length > 0 && !method.getName().equals(args[0])) continue;
      ++run;
      BindingTest test = new BindingTest();
      try {
        method.invoke(test);
        System.out.println("ok   " + method.getName());
      } catch (InvocationTargetException wrapped) {
        ++failures;
        System.out.println("FAIL " + method.getName() + ": " + wrapped.getCause());
        wrapped.getCause().printStackTrace(System.out);
      } finally {
        test.tearDown();
      }
    }
    System.out.println(run + " cases, " + failures + " failed");
    System.exit(failures == 0 && run > 0 ? 0 : 1);
  }
}
