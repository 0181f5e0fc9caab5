// SPDX-License-Identifier: Apache-2.0
// A JVM host over the binding com.zelk.sdk: the road of a challenge with two devices of one user,
// as examples/c-host walks it. A tablet attaches, this phone attaches through its container over
// the account's limit, and walks the challenge's screens to the end: "Verify to continue", the
// e-mail option, the code (read from the sandbox's hooks), the device limiter, the tablet logged
// out, "Verification complete" and continue. Each screen is printed as text.
//
//   java -Djava.library.path=DIR -cp zelk.jar:zelk-example-java-host.jar JavaHost \
//     --base-url URL [--client-id ID] [--user NAME]

import com.zelk.sdk.Challenge;
import com.zelk.sdk.Client;
import com.zelk.sdk.Container;
import com.zelk.sdk.MainThread;
import com.zelk.sdk.Screen;
import com.zelk.sdk.ScreenKind;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.time.Duration;
import java.util.concurrent.Callable;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.function.BooleanSupplier;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

public final class JavaHost {
  private final MainThread.Dedicated main = MainThread.newThread("host-main");
  private final String baseUrl, clientId, user;

  private JavaHost(String baseUrl, String clientId, String user) {
    this.baseUrl = baseUrl;
    this.clientId = clientId;
    this.user = user;
  }

  /** Runs {@code call} on the main thread, where the host's UI code would run, and waits. */
  private <T> T onMain(Callable<T> call) throws Exception {
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
    return result.get(10, TimeUnit.SECONDS);
  }

  private void waitFor(BooleanSupplier condition, String what) throws Exception {
    long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
    while (!onMain(condition::getAsBoolean)) {
      if (System.nanoTime() > deadline) throw new IllegalStateException("no " + what + " in 10 s");
      Thread.sleep(10);
    }
  }

  private Client device(String model, String vendorId) {
    Client client =
        new Client(
            clientId,
            main,
            new Client.Options()
                .baseUrl(baseUrl)
                .inMemoryPreferences()
                .device(model, "Android", "14", vendorId));
    client.setUserId(user);
    return client;
  }

  private void show(Container container) throws Exception {
    try (Screen screen = onMain(container::screen)) {
      System.out.print("\n-- " + screen.name() + "\n" + screen.plainText());
    }
  }

  private void act(Container container, String action) throws Exception {
    System.out.println("> " + action);
    boolean performed =
        onMain(
            () -> {
              try (Screen screen = container.screen()) {
                return screen.perform(action);
              }
            });
    if (!performed) throw new IllegalStateException(action + " is not available on this screen");
  }

  private boolean shows(Container container, ScreenKind kind) {
    try (Screen screen = container.screen()) {
      return screen != null && screen.kind() == kind;
    }
  }

  private boolean limiterSettled(Container container) {
    try (Screen screen = container.screen()) {
      return screen != null
          && screen.kind() == ScreenKind.DEVICE_LIMITER
          && screen.deviceLimit() != null
          && !container.loadingDevices()
          && !container.detachLoading();
    }
  }

  private String sandboxCode(String challengeId) throws Exception {
    String body =
        HttpClient.newHttpClient()
            .send(
                HttpRequest.newBuilder(URI.create(baseUrl + "/_sandbox/challenge/" + challengeId))
                    .timeout(Duration.ofSeconds(10))
                    .build(),
                HttpResponse.BodyHandlers.ofString())
            .body();
    Matcher code = Pattern.compile("\"code\"\\s*:\\s*\"([^\"]+)\"").matcher(body);
    if (!code.find()) throw new IllegalStateException("no code from the sandbox: " + body);
    return code.group(1);
  }

  private void run() throws Exception {
    Client tablet = device("Pixel Tablet", "7D444840-9DC0-11D1-B245-5FFDCE74FAD2");
    AtomicBoolean tabletLoggedOut = new AtomicBoolean();
    onMain(
        () -> {
          tablet.onLogout(() -> tabletLoggedOut.set(true));
          return null;
        });
    CompletableFuture<String> attached = new CompletableFuture<>();
    tablet.attach(null, reply -> attached.complete(reply.deviceId()));
    String tabletId = attached.get(10, TimeUnit.SECONDS);
    System.out.println("tablet: attached as " + tabletId);

    Client phone = device("Pixel 8", "0A1B2C3D-4E5F-4061-8272-839495A6B7C8");
    Container container = onMain(() -> new Container(phone));
    waitFor(container::challengeVisible, "challenge");
    Challenge challenge = onMain(container::challenge);
    System.out.println("phone: challenge " + challenge.id() + " covers the content");

    show(container);
    act(container, "verifyToContinue");
    show(container);
    act(container, "requestEmailCode");
    waitFor(() -> shows(container, ScreenKind.VERIFICATION_CODE), "code screen");
    String code = sandboxCode(challenge.id());
    System.out.println("(the code from the message: " + code + ")");
    onMain(
        () -> {
          try (Screen screen = container.screen()) {
            return screen.typeCode(code);
          }
        });
    show(container);
    act(container, "verifyCode");
    waitFor(() -> limiterSettled(container), "device limiter");
    show(container);
    act(container, "toggle:" + tabletId);
    act(container, "logOut");
    waitFor(tabletLoggedOut::get, "logout of the tablet");
    System.out.println("tablet: the service logged this device out");
    waitFor(() -> limiterSettled(container), "device limiter");
    show(container);
    act(container, "logOut");
    waitFor(() -> !container.challengeVisible(), "end of the challenge");
    System.out.println("\nphone: the challenge is closed; the content shows again");

    phone.flush(Duration.ofSeconds(5));
    tablet.flush(Duration.ofSeconds(5));
    onMain(
        () -> {
          container.close();
          phone.close();
          tablet.close();
          return null;
        });
    main.close();
  }

  public static void main(String[] args) throws Exception {
    String baseUrl = "", clientId = "java-demo", user = "alice";
    for (int i = 0; i + 1 < args.length; i += 2) {
      if (args[i].equals("--base-url")) baseUrl = args[i + 1];
      if (args[i].equals("--client-id")) clientId = args[i + 1];
      if (args[i].equals("--user")) user = args[i + 1];
    }
    new JavaHost(baseUrl, clientId, user).run();
  }
}
