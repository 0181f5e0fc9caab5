// SPDX-License-Identifier: Apache-2.0
// An attach through the JVM binding against the service at ZELK_BENCH_URL, from the call until
// the reply's callback has run on the host's main thread, in rounds of calls with p50 and p99;
// and a call without I/O (the device ID) in nanoseconds. bench/bindings_compare.sh runs it next
// to bindings_bench and attach_bench.py.
//   java -Djava.library.path=DIR -cp zelk.jar:. AttachBench [ROUNDS CALLS]
import com.zelk.sdk.Client;
import com.zelk.sdk.MainThread;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

public final class AttachBench {
  static double percentile(List<Double> values, double fraction) {
    List<Double> sorted = new ArrayList<>(values);
    Collections.sort(sorted);
    return sorted.get((int) (fraction * (sorted.size() - 1)));
  }

  public static void main(String[] args) throws Exception {
    int rounds = args.length > 0 ? Integer.parseInt(args[0]) : 5;
    int calls = args.length > 1 ? Integer.parseInt(args[1]) : 200;
    MainThread.Dedicated main = MainThread.newThread("bench-main");
    Client client =
        new Client(
            "bench-bindings",
            main,
            new Client.Options()
                .baseUrl(System.getenv("ZELK_BENCH_URL"))
                .inMemoryPreferences()
                .device("iPhone", "iOS", "17.2", "0A1B2C3D-4E5F-4061-8272-839495A6B7C8"));
    client.setUserId("bench-user");
    List<Double> p50 = new ArrayList<>(), p99 = new ArrayList<>();
    for (int round = -1; round < rounds; ++round) { // round -1 warms the JIT and connections
      List<Double> times = new ArrayList<>();
      for (int call = 0; call < calls; ++call) {
        CountDownLatch done = new CountDownLatch(1);
        long start = System.nanoTime();
        client.attach(null, reply -> done.countDown());
        if (!done.await(5, TimeUnit.SECONDS)) continue;
        times.add((System.nanoTime() - start) / 1000.0);
        Thread.sleep(2);
      }
      if (round < 0) continue;
      p50.add(percentile(times, 0.5));
      p99.add(percentile(times, 0.99));
      System.out.printf(
          "round %d: attach JNI p50 %.0f us p99 %.0f us%n", round + 1, p50.get(round), p99.get(round));
    }
    System.out.printf(
        "attach, median of %d rounds of %d: JNI p50 %.0f us, p99 %.0f us%n",
        rounds, calls, percentile(p50, 0.5), percentile(p99, 0.5));
    List<Double> runs = new ArrayList<>();
    for (int run = 0; run < 6; ++run) {
      int count = 200000;
      long start = System.nanoTime();
      for (int i = 0; i < count; ++i) client.deviceId();
      if (run > 0) runs.add((System.nanoTime() - start) / (double) count);
    }
    System.out.printf("device ID, a call without I/O: JNI %.0f ns per call%n", percentile(runs, 0.5));
    client.close();
    main.close();
  }
}
