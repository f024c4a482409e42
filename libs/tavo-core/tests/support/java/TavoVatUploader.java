// The agent's wrapper class as the tests need it: it speaks the bridge's line
// contract from a scenario file instead of driving the agency's applet.
//
// Environment:
//   TAVO_WRAPPER_SCENARIO  file of commands, one per line (UTF-8):
//     out <text>          <text> on standard output
//     err <text>          <text> on standard error
//     sign <text>         "SIGN:" + Base64 of the UTF-8 bytes of <text>, then one reply line is read
//     signraw <payload>   "SIGN:" + <payload> as given, then one reply line is read
//     signrandom <n> <s>  n requests of s pseudo-random bytes each, one reply read after each
//     signnoread <n>      n requests of a few bytes each, no reply ever read
//     outmany <n> <text>  n lines "<text> 1" .. "<text> n" on standard output
//     outbytes <n>        n letters x on standard output, no line feed
//     sleep <ms>          waits that long
//     hang                waits until it is killed
//     flood <out|err> <n> <s>  n lines of s letters y on that stream
//     closein             closes standard input; later requests read no reply (recorded as <closed>)
//     exit <code>         ends the run with that code
//   TAVO_WRAPPER_RECORD    file the wrapper appends to (tab-separated lines):
//     ARG <arg>, STDIN <first input line>, SIGN <Base64 asked> <reply line>
// Without a scenario the run ends at once with code 0.
import java.io.BufferedReader;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.PrintStream;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Base64;
import java.util.List;
import java.util.Random;

public final class TavoVatUploader {
    private static PrintStream out;
    private static PrintStream err;
    private static BufferedReader in;
    private static Writer record;
    private static boolean inputClosed;

    public static void main(String[] args) throws IOException {
        // Our own UTF-8 streams: under a C locale the platform's would turn Cyrillic into '?'.
        out = new PrintStream(new FileOutputStream(java.io.FileDescriptor.out), true, "UTF-8");
        err = new PrintStream(new FileOutputStream(java.io.FileDescriptor.err), true, "UTF-8");
        in = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        String recordPath = System.getenv("TAVO_WRAPPER_RECORD");
        if (recordPath != null && !recordPath.isEmpty()) {
            record = new OutputStreamWriter(new FileOutputStream(recordPath, true), StandardCharsets.UTF_8);
        }
        for (String a : args) note("ARG\t" + a);
        String first = in.readLine();
        note("STDIN\t" + (first == null ? "<eof>" : first));

        int code = 0;
        String scenario = System.getenv("TAVO_WRAPPER_SCENARIO");
        if (scenario != null && !scenario.isEmpty()) {
            List<String> lines = Files.readAllLines(Paths.get(scenario), StandardCharsets.UTF_8);
            for (String line : lines) {
                int blank = line.indexOf(' ');
                String cmd = blank < 0 ? line : line.substring(0, blank);
                String rest = blank < 0 ? "" : line.substring(blank + 1);
                if (cmd.equals("out")) {
                    out.println(rest);
                } else if (cmd.equals("err")) {
                    err.println(rest);
                } else if (cmd.equals("sign")) {
                    byte[] data = rest.getBytes(StandardCharsets.UTF_8);
                    ask(Base64.getEncoder().encodeToString(data));
                } else if (cmd.equals("signraw")) {
                    ask(rest);
                } else if (cmd.equals("signrandom")) {
                    String[] p = rest.split(" ");
                    int n = Integer.parseInt(p[0]);
                    int size = Integer.parseInt(p[1]);
                    Random random = new Random(size * 31L + n);
                    byte[] data = new byte[size];
                    for (int i = 0; i < n; ++i) {
                        random.nextBytes(data);
                        ask(Base64.getEncoder().encodeToString(data));
                    }
                } else if (cmd.equals("signnoread")) {
                    int n = Integer.parseInt(rest.trim());
                    for (int i = 0; i < n; ++i) out.println("SIGN:" + Base64.getEncoder().encodeToString(
                            ("request " + i).getBytes(StandardCharsets.UTF_8)));
                } else if (cmd.equals("outmany")) {
                    int blank2 = rest.indexOf(' ');
                    int n = Integer.parseInt(rest.substring(0, blank2));
                    String text = rest.substring(blank2 + 1);
                    for (int i = 1; i <= n; ++i) out.println(text + " " + i);
                } else if (cmd.equals("outbytes")) {
                    long n = Long.parseLong(rest.trim());
                    byte[] block = new byte[65536];
                    java.util.Arrays.fill(block, (byte) 'x');
                    for (long done = 0; done < n; done += block.length) {
                        out.write(block, 0, (int) Math.min(block.length, n - done));
                    }
                    out.flush();
                } else if (cmd.equals("sleep")) {
                    try {
                        Thread.sleep(Long.parseLong(rest.trim()));
                    } catch (InterruptedException e) {
                        Thread.currentThread().interrupt();
                    }
                } else if (cmd.equals("hang")) {
                    hang();
                } else if (cmd.equals("flood")) {
                    String[] p = rest.split(" ");
                    flood(p[0].equals("err") ? err : out, Long.parseLong(p[1]), Integer.parseInt(p[2]));
                } else if (cmd.equals("closein")) {
                    in.close();
                    inputClosed = true;
                } else if (cmd.equals("exit")) {
                    code = Integer.parseInt(rest.trim());
                    break;
                }
            }
        }
        if (record != null) record.close();
        out.flush();
        err.flush();
        System.exit(code);
    }

    private static void hang() {
        for (;;) {
            try {
                Thread.sleep(60000);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
    }

    private static void flood(PrintStream stream, long lines, int size) {
        byte[] line = new byte[size + 1];
        java.util.Arrays.fill(line, (byte) 'y');
        line[size] = '\n';
        for (long i = 0; i < lines; ++i) stream.write(line, 0, line.length);
        stream.flush();
    }

    private static void ask(String payload) throws IOException {
        out.println("SIGN:" + payload);
        if (inputClosed) {
            note("SIGN\t" + payload + "\t<closed>");
            return;
        }
        String reply = in.readLine();
        note("SIGN\t" + payload + "\t" + (reply == null ? "<eof>" : reply));
    }

    private static void note(String line) throws IOException {
        if (record == null) return;
        record.write(line);
        record.write('\n');
        record.flush();
    }
}
