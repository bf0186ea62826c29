#!/usr/bin/env python3
"""Measures the tavrad daemon by hand: memory after a pass over five harnesses and over 1,000
passes, wake-ups of the idle daemon over a quiet minute, how soon a hand edit of a managed
file is put right, and memory after catalog refreshes over https (which load the HTTP module).

Run as root:  bench/tavrad_idle.py [path/to/tavrad]   (default build/release/bin/tavrad)

The daemon runs with its production paths in a private mount and network namespace: a tmpfs root
with the system folders bound in, an empty /Library of its own, and a /dev/log socket from which
the script reads the daemon's log lines. The HTTP module (tavra-http.so beside the binary, when
there) is bound in beside the daemon; the https refreshes come from a server on the namespace's
own loopback, whose CA stands in for the system's CA store inside the private mount. Nothing on
the machine is touched.
"""

import base64
import http.server
import json
import os
import plistlib
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time

INSIDE = "--inside-private-root"
SYSTEM_FOLDERS = ["bin", "sbin", "lib", "lib32", "lib64", "libx32", "usr", "etc", "proc"]
DEVICES = ["null", "zero", "full", "random", "urandom", "tty"]
PREFS = "/Library/Managed Preferences"
# Not named tavrad: `tavractl apply`, run by anyone on this machine, signals every process whose
# executable is called that, and the idle minute must stay idle.
INSIDE_BINARY = "/tavrad-test/tavrad-under-test"
INSIDE_MODULE = "/tavrad-test/tavra-http.so"
CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
CODEX_DIR = "/Library/Application Support/Codex/"

# Five harnesses, one output each, all below /Library (the codex file is moved there through
# AdditionalAllowedPaths so that nothing under the machine's /etc is written).
HARNESSES = [
    ("claude", "/Library/Application Support/ClaudeCode/managed-settings.json", "json",
     {"model": "opus", "permissions": {"deny": ["Bash(rm:*)"]}}),
    ("opencode", "/Library/Application Support/opencode/opencode.json", "json",
     {"theme": "dark", "autoupdate": False}),
    ("gemini", "/Library/Application Support/GeminiCli/settings.json", "json",
     {"telemetry": {"enabled": False}}),
    ("codex", CODEX_DIR + "config.toml", "toml",
     {"model": "o3", "sandbox_mode": "read-only"}),
    ("desktop", PREFS + "/com.anthropic.claudefordesktop.plist", "plist",
     {"isClaudeCodeForDesktopEnabled": True}),
]


def run(*args, **kwargs):
    return subprocess.run(args, check=True, **kwargs)


def mount_private_root(root, binary):
    run("mount", "-t", "tmpfs", "-o", "mode=0755", "tavra-bench-root", root)
    for name in SYSTEM_FOLDERS:
        host = "/" + name
        if os.path.islink(host):
            os.symlink(os.readlink(host), os.path.join(root, name))
        elif os.path.isdir(host):
            os.mkdir(os.path.join(root, name))
            run("mount", "--rbind", host, os.path.join(root, name))
    os.mkdir(os.path.join(root, "dev"))
    for device in DEVICES:
        if os.path.exists("/dev/" + device):
            open(os.path.join(root, "dev", device), "w").close()
            run("mount", "--bind", "/dev/" + device, os.path.join(root, "dev", device))
    os.mkdir(os.path.join(root, "Library"))
    os.mkdir(os.path.join(root, "tavrad-test"))
    open(root + INSIDE_BINARY, "w").close()
    run("mount", "--bind", binary, root + INSIDE_BINARY)
    module = os.path.join(os.path.dirname(binary), "tavra-http.so")
    if os.path.exists(module):
        open(root + INSIDE_MODULE, "w").close()
        run("mount", "--bind", module, root + INSIDE_MODULE)


def write(root, inside, data, mode=0o644):
    path = root + inside
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)
    os.chmod(path, mode)


def signed_catalog(workdir):
    key = os.path.join(workdir, "catalog.key")
    run("openssl", "genpkey", "-algorithm", "ED25519", "-out", key)
    public = run("openssl", "pkey", "-in", key, "-pubout", "-outform", "DER",
                 capture_output=True).stdout[-32:]
    catalog = {
        "schemaVersion": 2,
        "catalogVersion": "1.0",
        "harnesses": [
            {"id": hid, "displayName": hid, "vendor": "Bench", "status": "supported",
             "outputs": [{"id": "settings", "path": path, "format": fmt}]}
            for hid, path, fmt, _ in HARNESSES
        ],
    }
    data = json.dumps(catalog).encode()
    catalog_file = os.path.join(workdir, "catalog.json")
    with open(catalog_file, "wb") as out:
        out.write(data)
    signature = run("openssl", "pkeyutl", "-sign", "-inkey", key, "-rawin", "-in", catalog_file,
                    capture_output=True).stdout
    return data, base64.b64encode(signature) + b"\n", base64.b64encode(public).decode()


class Log:
    """The daemon's syslog lines, as they arrive, with the time of arrival."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        os.chmod(path, 0o666)
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._receive, daemon=True).start()

    def _receive(self):
        while True:
            data = self.sock.recv(65536).decode(errors="replace").rstrip("\n\0")
            text = data.split("]: ", 1)[-1]
            with self.cond:
                self.lines.append((time.monotonic(), text))
                self.cond.notify_all()

    def mark(self):
        with self.cond:
            return len(self.lines)

    def wait(self, predicate, start, timeout=60):
        deadline = time.monotonic() + timeout
        with self.cond:
            index = start
            while True:
                while index < len(self.lines):
                    if predicate(self.lines[index][1]):
                        return index, self.lines[index][0]
                    index += 1
                left = deadline - time.monotonic()
                if left <= 0:
                    recent = "\n".join(text for _, text in self.lines[start:][-20:])
                    raise TimeoutError("no such log line; the latest:\n" + recent)
                self.cond.wait(left)


def is_summary(text):
    return text.startswith("[daemon] ") and text.split(" ", 1)[1].split(";")[0] in (
        "ok", "degraded", "error")


def status_field(pid, field, task=None):
    path = f"/proc/{pid}/task/{task}/status" if task else f"/proc/{pid}/status"
    with open(path) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def switches(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            total += status_field(pid, "voluntary_ctxt_switches", task)
        except FileNotFoundError:
            pass
    return status_field(pid, "voluntary_ctxt_switches"), total


def rss_kb(pid):
    return status_field(pid, "VmRSS")


def memory_breakdown(pid, count=8):
    """Resident kilobytes per mapped file (anonymous memory together), largest first, and the
    proportional set size (shared pages divided among the processes that map them)."""
    sizes = {}
    current = None
    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            parts = line.split()
            if not parts[0].endswith(":"):
                name = parts[5] if len(parts) > 5 else "[anonymous]"
                current = "[anonymous]" if name in ("[heap]", "[stack]") else name
            elif parts[0] == "Rss:":
                sizes[current] = sizes.get(current, 0) + int(parts[1])
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        pss = next(int(l.split()[1]) for l in rollup if l.startswith("Pss:"))
    files = sum(kb for name, kb in sizes.items() if name.startswith("/"))
    ranked = sorted(sizes.items(), key=lambda item: -item[1])[:count]
    return ranked, files, pss


def private_memory(pid):
    """Resident, proportional and private kilobytes (smaps_rollup), and the shared objects mapped."""
    fields = {}
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        for line in rollup:
            parts = line.split()
            if len(parts) >= 2 and parts[0].endswith(":") and parts[1].isdigit():
                fields[parts[0][:-1]] = int(parts[1])
    with open(f"/proc/{pid}/maps") as maps:
        objects = {line.split()[-1] for line in maps if ".so" in line.split()[-1]}
    private = fields.get("Private_Clean", 0) + fields.get("Private_Dirty", 0)
    return fields.get("Rss", 0), fields.get("Pss", 0), private, objects


def report_memory(pid, when):
    rss, pss, private, objects = private_memory(pid)
    curl = "libcurl mapped" if any("libcurl" in o for o in objects) else "no libcurl"
    print(f"{when}: RSS {rss / 1024:.1f} MB, PSS {pss / 1024:.1f} MB, private "
          f"{private / 1024:.1f} MB; {len(objects)} shared objects mapped, {curl}")


def https_server(workdir, catalog, signature):
    """A loopback HTTPS server (in the script's network namespace) serving the catalog, with a CA
    made for it; returns its port and the CA's PEM file."""
    ca_key, ca = os.path.join(workdir, "ca.key"), os.path.join(workdir, "ca.pem")
    key, csr, cert = (os.path.join(workdir, n) for n in ("server.key", "server.csr", "server.pem"))
    ext = os.path.join(workdir, "ext.cnf")
    with open(ext, "w") as out:
        out.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
        "-nodes", "-keyout", ca_key, "-out", ca, "-days", "1", "-subj", "/CN=Bench CA", **quiet)
    run("openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
        "-keyout", key, "-out", csr, "-subj", "/CN=127.0.0.1", **quiet)
    run("openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
        "-out", cert, "-days", "1", "-extfile", ext, **quiet)
    files = {"/catalog.json": catalog, "/catalog.json.sig": signature}

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            body = files.get(self.path)
            self.send_response(200 if body is not None else 404)
            self.send_header("Content-Length", str(len(body or b"")))
            self.end_headers()
            self.wfile.write(body or b"")

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1], ca


def wait_idle(pid, timeout=30):
    """Until the loop thread waits in epoll for its next event (the run is over)."""
    deadline = time.monotonic() + timeout
    waits = {"232", "281", "441"}  # epoll_wait, epoll_pwait, epoll_pwait2 on x86-64
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/task/{pid}/syscall") as call:
            if call.read().split(" ", 1)[0] in waits:
                return
        time.sleep(0.002)
    raise TimeoutError("the daemon did not become idle")


def measure(binary):
    workdir = tempfile.mkdtemp(prefix="tavra-bench.", dir=os.getcwd())
    root = os.path.join(workdir, "root")
    os.mkdir(root)
    mount_private_root(root, binary)
    catalog, signature, public_key = signed_catalog(workdir)
    write(root, "/Library/Vendor/catalog.json", catalog)
    write(root, "/Library/Vendor/catalog.json.sig", signature)
    write(root, PREFS + "/com.zelkorandin.tavra.plist", plistlib.dumps({
        "CatalogURL": "file:///Library/Vendor/catalog.json",
        "CatalogTrustedKeys": [public_key],
        "AdditionalAllowedPaths": [CODEX_DIR],
    }))
    for hid, _, _, settings in HARNESSES:
        write(root, f"{PREFS}/com.zelkorandin.tavra.policy.{hid}.plist", plistlib.dumps({
            "PolicyID": hid, "Priority": 10, "Harnesses": {hid: {"settings": settings}}}))
    log = Log(root + "/dev/log")

    daemon = subprocess.Popen([INSIDE_BINARY],
                              preexec_fn=lambda: (os.chroot(root), os.chdir("/")))
    pid = daemon.pid
    try:
        managed = "managed: " + ",".join(h[0] for h in HARNESSES)
        start = time.monotonic()
        log.wait(lambda t: t == "[daemon] catalog updated to 1.0", 0)
        index, _ = log.wait(lambda t: is_summary(t) and t.endswith(managed), 0)
        wait_idle(pid)
        print(f"first pass over five harnesses done {time.monotonic() - start:.2f} s after start")
        print(f"RSS after a pass of five harnesses: {rss_kb(pid) / 1024:.1f} MB")
        report_memory(pid, "after a pass (catalog refreshed from its file URL)")
        ranked, files, pss = memory_breakdown(pid)
        print(f"    of which mapped files {files / 1024:.1f} MB; PSS {pss / 1024:.1f} MB")
        for name, kb in ranked:
            print(f"    {kb / 1024:6.1f} MB  {os.path.basename(name) if name.startswith('/') else name}")

        # A quiet minute: no trigger, so no run and no wake-up but the timer's (900 s away).
        mark = log.mark()
        main_before, all_before = switches(pid)
        time.sleep(60)
        main_after, all_after = switches(pid)
        print(f"idle 60 s: voluntary context switches main thread {main_after - main_before}, "
              f"all threads {all_after - all_before}; log lines {log.mark() - mark}; "
              f"RSS {rss_kb(pid) / 1024:.1f} MB")

        # Hand edits of a managed file, until the file is right again.
        target = root + HARNESSES[0][1]
        right = open(target, "rb").read()
        latencies = []
        for _ in range(5):
            wait_idle(pid)
            mark = log.mark()
            edited = time.monotonic()
            with open(target, "wb") as out:
                out.write(b'{"model":"haiku"}')
            _, at = log.wait(lambda t: t.startswith("[reconcile] driftCorrected "), mark)
            assert open(target, "rb").read() == right, "the file was not put right"
            latencies.append(at - edited)
            log.wait(is_summary, mark)
        print("edit to corrected file: " + ", ".join(f"{s:.3f}" for s in latencies)
              + f" s (median {statistics.median(latencies):.3f} s)")

        # 1,000 passes, one per SIGHUP (each also refreshes the catalog from its file URL).
        samples = []
        for n in range(1, 1001):
            mark = log.mark()
            wait_idle(pid)
            os.kill(pid, 1)
            log.wait(is_summary, mark)
            if n in (1, 10, 100) or n % 250 == 0:
                wait_idle(pid)
                samples.append((n, rss_kb(pid)))
        print("RSS over passes: " + ", ".join(f"{n}: {kb / 1024:.1f} MB" for n, kb in samples))
        report_memory(pid, "after 1,000 passes")

        # Refreshes over https: the first loads the HTTP module, later ones reuse it.
        run("ip", "link", "set", "lo", "up")
        port, ca = https_server(workdir, catalog, signature)
        run("mount", "--bind", ca, root + CA_BUNDLE)
        write(root, PREFS + "/com.zelkorandin.tavra.plist", plistlib.dumps({
            "CatalogURL": f"https://127.0.0.1:{port}/catalog.json",
            "CatalogTrustedKeys": [public_key],
            "AdditionalAllowedPaths": [CODEX_DIR],
        }))
        for n in range(1, 21):
            wait_idle(pid)
            mark = log.mark()
            os.kill(pid, 1)
            log.wait(lambda t: t == "[daemon] catalog 1.0 is current"
                     or t.startswith("[daemon] catalog update failed"), mark)
            failed = [t for _, t in log.lines[mark:] if "catalog update failed" in t]
            if failed:
                raise RuntimeError(failed[0])
            log.wait(is_summary, mark)
            if n in (1, 20):
                wait_idle(pid)
                time.sleep(0.5)  # the refresh thread ends after its completion is queued
                report_memory(pid, f"after {n} https refresh{'es' if n > 1 else ''}")
    finally:
        daemon.terminate()
        print(f"tavrad ended with status {daemon.wait(30)}")
        # Never remove the root recursively: the system folders are bound into it.
        subprocess.run(["umount", "--recursive", "--lazy", root], check=False)
        os.rmdir(root)
        for name in ("catalog.key", "catalog.json", "ca.key", "ca.pem", "ca.srl", "server.key",
                     "server.csr", "server.pem", "ext.cnf"):
            if os.path.exists(os.path.join(workdir, name)):
                os.remove(os.path.join(workdir, name))
        os.rmdir(workdir)


def main():
    if os.geteuid() != 0:
        sys.exit("run as root")
    if INSIDE in sys.argv:
        measure(sys.argv[-1])
        return
    binary = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/release/bin/tavrad")
    if not os.access(binary, os.X_OK):
        sys.exit(f"no tavrad at {binary}: build it with scripts/build")
    os.execvp("unshare", ["unshare", "--mount", "--net", "--propagation", "private",
                          sys.executable, os.path.abspath(__file__), INSIDE, binary])


if __name__ == "__main__":
    main()
