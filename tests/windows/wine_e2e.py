#!/usr/bin/python3
"""Process-level tests of the 64-bit Windows updater under wine64.

    wine_e2e.py --build-dir build/windows-x64 [--product EXE] [--keep] [-k NAME-PART]

Runs the Windows builds of the updater that talk to 127.0.0.1 under
wine64: the product executable given with --product (brindax-updater.exe of
a 64-bit build configured with BRINDAX_FTP_HOST=127.0.0.1 and
BRINDAX_FTP_PORT set to the test port), else the x64 test build's
"brindax-updater-local"; for the notice of an install without an
application, that build's "brindax-updater-local-noapp"; for active-mode
data connections, its "brindax-updater-local-active"; and for signed
releases, its "brindax-updater-local-signed", which has the public key of
the build's test key pair built in (releases are signed here with minisign),
and "brindax-updater-local-rooted", which has the build's two test root keys
built in and takes its release keys from the keys file. They run against
the local pyftpdlib server of testing/ftp_server.py, inside a private Xvfb
display. Checked: the exit codes of the check, a full install that starts a
small Windows "Brindax.exe" built here with mingw-w64, a partial update, and
the failure paths, whose message boxes are found on the X display by their
title (xdotool), read (title, text, the one OK button) with a small Windows
helper, dismissed with the keyboard, after which the exit code is checked.

With --https-build-dir, the 64-bit product of that build (configured with
BRINDAX_RELEASE_URL=https://127.0.0.1:<port>/kelmor/) fetches its release
through WinHTTP from a local nginx, whose certificates are made here with
openssl; the test CA is put into the Root store of the Wine prefix's user
for the run of the case that trusts it (trustca.c) and taken out after.

Prints one PASS/FAIL line per case and a summary line; exits 1 when a case
fails.
"""

import argparse
import hashlib
import io
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64" if os.path.exists("/usr/lib/wine/wineserver64") \
    else "wineserver"
MINGW_CC = "x86_64-w64-mingw32-gcc"
MINISIGN = "minisign"
PYTHON = "/usr/bin/python3"
NGINX = "/usr/sbin/nginx"
OPENSSL = "openssl"

RUN_TIMEOUT = 90       # one updater run (Wine under load can be slow)
BOX_TIMEOUT = 60       # until a message box shows up
APP_TIMEOUT = 30       # until the started application has finished


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def cmake_cache(build_dir):
    values = {}
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith(("#", "//")) or "=" not in line:
                continue
            key, value = line.split("=", 1)
            values[key.split(":", 1)[0]] = value
    return values


def make_zip(entries):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries.items():
            z.writestr(name, data)
    return buf.getvalue()


def tree(directory):
    """{relative path: bytes} of every file below directory."""
    out = {}
    for base, _, files in os.walk(directory):
        for name in files:
            path = os.path.join(base, name)
            out[os.path.relpath(path, directory)] = read(path)
    return out


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def stop_process(proc):
    """Asks a helper process to end, and ends it when it does not within 10 s."""
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class Xvfb:
    def __init__(self):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.time() + 30
        while not number.endswith(b"\n") and time.time() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip():
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()

    def stop(self):
        stop_process(self.proc)


class FtpServer:
    """testing/ftp_server.py on 127.0.0.1:port, serving root."""

    def __init__(self, root, port, user, password, scratch):
        self.args = [PYTHON, os.path.join(ROOT, "testing", "ftp_server.py"),
                     "--root", root, "--user", user, "--password", password,
                     "--host", "127.0.0.1", "--port", str(port)]
        self.port_file = os.path.join(scratch, "ftp-port")
        self.log = os.path.join(scratch, "ftp-server.log")
        self.proc = None

    def start(self):
        if os.path.exists(self.port_file):
            os.unlink(self.port_file)
        log = open(self.log, "ab")
        self.proc = subprocess.Popen(self.args + ["--port-file", self.port_file],
                                     stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        log.close()
        deadline = time.time() + 20
        while not os.path.exists(self.port_file):
            if self.proc.poll() is not None or time.time() > deadline:
                self.stop()
                raise RuntimeError("FTP server did not start (see %s)" % self.log)
            time.sleep(0.05)

    def stop(self):
        stop_process(self.proc)
        self.proc = None


class StallingFtpServer:
    """An FTP server on 127.0.0.1:port that logs in and changes directory
    like any other, then answers "RETR " with 150 and never sends the data."""

    def __init__(self, port):
        self.listener = socket.create_server(("127.0.0.1", port))
        self.sockets = [self.listener]
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def start(self):
        self.thread.start()

    def _serve(self):
        try:
            control, _ = self.listener.accept()
        except OSError:
            return
        self.sockets.append(control)
        control.sendall(b"220 ready\r\n")
        answers = {b"USER": b"331 password\r\n", b"PASS": b"230 in\r\n", b"CWD": b"250 ok\r\n",
                   b"TYPE": b"200 binary\r\n", b"QUIT": b"221 bye\r\n"}
        try:
            self._answer(control, answers)
        except OSError:
            pass  # the updater went away

    def _answer(self, control, answers):
        data = None
        for line in control.makefile("rb"):
            word = line.split()[0].upper() if line.split() else b""
            if word == b"PASV":
                data = socket.create_server(("127.0.0.1", 0))
                self.sockets.append(data)
                port = data.getsockname()[1]
                control.sendall(b"227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n"
                                % (port >> 8, port & 255))
            elif word == b"RETR" and data is not None:
                control.sendall(b"150 here it comes\r\n")
                try:
                    connection, _ = data.accept()
                    self.sockets.append(connection)  # held open, silent
                except OSError:
                    return
            else:
                control.sendall(answers.get(word, b"502 no\r\n"))

    def stop(self):
        for s in self.sockets:
            try:
                s.close()
            except OSError:
                pass
        self.thread.join(5)


def make_certificates(folder):
    """Two CAs and, by each, a certificate for 127.0.0.1: trusted-ca.pem,
    ok.{crt,key} by it, and other.{crt,key} by a CA that nobody trusts. The
    address is in subjectAltName as an IP address, which Windows matches,
    and as a DNS name too, since Wine's crypt32 matches DNS names only."""
    os.makedirs(folder, exist_ok=True)

    def openssl(*args):
        subprocess.run([OPENSSL] + list(args), cwd=folder, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    extensions = os.path.join(folder, "server.ext")
    with open(extensions, "w") as f:
        f.write("basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1,DNS:127.0.0.1\n"
                "extendedKeyUsage=serverAuth\nkeyUsage=digitalSignature,keyEncipherment\n")
    for ca, server in (("trusted-ca", "ok"), ("other-ca", "other")):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
                "-subj", "/CN=Brindax Wine test %s" % ca, "-keyout", ca + ".key", "-out", ca + ".pem")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-subj", "/CN=127.0.0.1",
                "-keyout", server + ".key", "-out", server + ".csr")
        openssl("x509", "-req", "-sha256", "-days", "30", "-in", server + ".csr", "-CA", ca + ".pem",
                "-CAkey", ca + ".key", "-CAcreateserial", "-extfile", extensions, "-out", server + ".crt")
    return os.path.join(folder, "trusted-ca.pem")


class Nginx:
    """nginx on 127.0.0.1:port over TLS 1.2 or 1.3 with the certificate
    `name` of make_certificates(), serving `root`; its access log names each
    request's connection and the Accept-Encoding it carried."""

    def __init__(self, root, port, certificates, name, scratch, locations="", extra=""):
        self.folder = os.path.join(scratch, "nginx")
        os.makedirs(os.path.join(self.folder, "logs"), exist_ok=True)
        self.access_log = os.path.join(self.folder, "logs", "access.log")
        self.conf = os.path.join(self.folder, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write("""daemon off;
master_process off;
worker_processes 1;
pid %(dir)s/nginx.pid;
error_log %(dir)s/logs/error.log info;
events { worker_connections 64; }
http {
  log_format conn '$connection $status "$request" "$http_accept_encoding" "$http_range"';
  access_log %(log)s conn;
  client_body_temp_path %(dir)s/body;
  proxy_temp_path %(dir)s/proxy;
  fastcgi_temp_path %(dir)s/fastcgi;
  uwsgi_temp_path %(dir)s/uwsgi;
  scgi_temp_path %(dir)s/scgi;
  types { application/zip zip; }
  default_type application/octet-stream;
  keepalive_timeout 60s;
  server {
    listen 127.0.0.1:%(port)d ssl;
    ssl_certificate %(certs)s/%(name)s.crt;
    ssl_certificate_key %(certs)s/%(name)s.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    root %(root)s;
%(locations)s
  }
%(extra)s
}
""" % {"dir": self.folder, "log": self.access_log, "port": port, "certs": certificates,
       "name": name, "root": root, "locations": locations, "extra": extra})
        self.port = port
        self.log = os.path.join(self.folder, "logs", "stderr.log")
        self.proc = None

    def start(self):
        log = open(self.log, "ab")
        self.proc = subprocess.Popen([NGINX, "-p", self.folder, "-c", self.conf, "-e", self.log],
                                     stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        log.close()
        deadline = time.time() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), 1).close()
                return
            except OSError:
                if self.proc.poll() is not None or time.time() > deadline:
                    self.stop()
                    raise RuntimeError("nginx did not start (see %s)" % self.log)
                time.sleep(0.1)

    def requests(self):
        if not os.path.exists(self.access_log):
            return []
        return read(self.access_log).decode("latin-1").splitlines()

    def stop(self):
        stop_process(self.proc)
        self.proc = None


class Wine:
    def __init__(self, prefix, display):
        self.prefix = prefix
        self.env = dict(os.environ)
        self.env.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all", "DISPLAY": display,
                         "WINEDLLOVERRIDES": "mscoree,mshtml="})
        for key in ("WAYLAND_DISPLAY", "BRINDAX_WINEPREFIX"):
            self.env.pop(key, None)

    def _quiet(self, args, timeout=300):
        subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout)

    def start_session(self):
        """A Wine session of its own on this display, its system processes
        started without our output streams."""
        os.makedirs(self.prefix, exist_ok=True)
        self._quiet([WINESERVER, "-k"])
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            print("wine e2e: creating the Wine prefix %s (once)" % self.prefix, flush=True)
            self._quiet([WINE, "wineboot", "-i"], timeout=600)
            self._quiet([WINESERVER, "-w"], timeout=600)
        self._quiet([WINESERVER, "-p120"])
        self._quiet([WINE, "wineboot"], timeout=300)

    def stop_session(self):
        self._quiet([WINESERVER, "-k"])

    def start(self, exe, args, cwd, out_path):
        out = open(out_path, "wb")
        proc = subprocess.Popen([WINE, exe] + list(args), cwd=cwd, env=self.env,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        out.close()
        return proc

    def run_capture(self, exe, args, timeout=60):
        done = subprocess.run([WINE, exe] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
        return done.returncode, done.stdout.decode("latin-1")


def xdotool(display, *args, timeout=20):
    env = dict(os.environ, DISPLAY=display)
    done = subprocess.run(["xdotool"] + list(args), env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
    return done.returncode, done.stdout.decode("utf-8", "replace")


class Suite:
    def __init__(self, opts):
        self.build_dir = os.path.abspath(opts.build_dir)
        cache = cmake_cache(self.build_dir)
        self.port = int(cache.get("BRINDAX_TEST_FTP_PORT", "0"))
        self.user = cache["BRINDAX_FTP_USER"]
        self.password = cache["BRINDAX_FTP_PASSWORD"]
        self.remote_dir = cache["BRINDAX_REMOTE_DIRECTORY"].strip("/")
        self.version_file = cache["BRINDAX_REMOTE_VERSION_FILE"]
        self.secret_key = cache.get("BRINDAX_TEST_RELEASE_SECRET_KEY", "")
        check(self.port > 0, "BRINDAX_TEST_FTP_PORT missing in the build's cache")
        self.work = os.path.join(self.build_dir, "wine-e2e")
        shutil.rmtree(self.work, ignore_errors=True)
        # The updater is run from a folder with a blank in its name, so that
        # Windows hands it a command line whose program path is quoted.
        self.bin = os.path.join(self.work, "bin dir")
        os.makedirs(self.bin)
        self.exes = {}
        for variant, name in (("app", "brindax-updater-local.exe"),
                              ("noapp", "brindax-updater-local-noapp.exe"),
                              ("active", "brindax-updater-local-active.exe"),
                              ("signed", "brindax-updater-local-signed.exe"),
                              ("rooted", "brindax-updater-local-rooted.exe")):
            src = os.path.join(self.build_dir, "tests", name)
            if variant == "app" and opts.product:
                src = os.path.abspath(opts.product)
            check(os.path.exists(src), "%s missing; build the windows-x64 preset first" % src)
            self.exes[variant] = os.path.join(self.bin, "brindax updater %s.exe" % variant)
            shutil.copy2(src, self.exes[variant])
        self.app_exe = os.path.join(self.work, "tools", "Brindax.exe")
        self.boxinfo_exe = os.path.join(self.work, "tools", "boxinfo.exe")
        self.holder_exe = os.path.join(self.work, "tools", "holdfile.exe")
        os.makedirs(os.path.dirname(self.app_exe))
        for src, out, extra in (("brindax_app.c", self.app_exe, ["-mwindows"]),
                                ("boxinfo.c", self.boxinfo_exe, []),
                                ("holdfile.c", self.holder_exe, [])):
            subprocess.run([MINGW_CC, "-O2", "-Wall", "-o", out, os.path.join(HERE, src)] + extra,
                           check=True)
        self.app_bytes = read(self.app_exe)
        self.https_port = None
        if opts.https_build_dir:
            https_dir = os.path.abspath(opts.https_build_dir)
            url = cmake_cache(https_dir).get("BRINDAX_RELEASE_URL", "")
            prefix = "https://127.0.0.1:"
            check(url.startswith(prefix) and url.endswith("/kelmor/"),
                  "%s is not built for https://127.0.0.1:<port>/kelmor/ (%r)" % (https_dir, url))
            self.https_port = int(url[len(prefix):-len("/kelmor/")])
            self.exes["https"] = os.path.join(self.bin, "brindax updater https.exe")
            shutil.copy2(os.path.join(https_dir, "bin", "brindax-updater.exe"), self.exes["https"])
            self.trustca_exe = os.path.join(self.work, "tools", "trustca.exe")
            subprocess.run([MINGW_CC, "-O2", "-Wall", "-o", self.trustca_exe,
                            os.path.join(HERE, "trustca.c"), "-lcrypt32"], check=True)
            self.certificates = os.path.join(self.work, "pki")
            self.test_ca = make_certificates(self.certificates)
        self.xvfb = Xvfb()
        self.display = self.xvfb.display
        # The Wine prefix of the build's unit tests (cmake/Windows.cmake);
        # its session is restarted here on the private display.
        prefix = cache.get("BRINDAX_WINEPREFIX") or os.path.join(self.build_dir, "_wine")
        self.wine = Wine(prefix, self.display)
        self.wine.start_session()
        self.server = None
        self.case_dir = None

    def close(self):
        if self.server:
            self.server.stop()
        self.wine.stop_session()
        self.xvfb.stop()

    # --- per case -------------------------------------------------------------
    def begin(self, name):
        self.case_dir = os.path.join(self.work, "cases", name)
        self.cwd = os.path.join(self.case_dir, "install")
        self.ftp_root = os.path.join(self.case_dir, "ftp")
        os.makedirs(self.cwd)
        os.makedirs(self.ftp_root)
        self.runs = 0
        self.procs = []

    def end(self):
        # A case that failed half-way may leave an updater with its box up;
        # it must not be mistaken for the next case's.
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        if any(True for _ in self.procs):
            _, out = xdotool(self.display, "search", "--name", "^(Ftp Error|unzip Error|Reveriv|Signature Error)$")
            deadline = time.time() + 10
            while out.split() and time.time() < deadline:
                time.sleep(0.2)
                _, out = xdotool(self.display, "search", "--name",
                                 "^(Ftp Error|unzip Error|Reveriv|Signature Error)$")
        if self.server:
            self.server.stop()
            self.server = None

    def serve(self, files, make_directory=True):
        """Starts the FTP server with files ({name: bytes}) in the update
        directory."""
        remote = os.path.join(self.ftp_root, self.remote_dir)
        if make_directory:
            os.makedirs(remote, exist_ok=True)
        for name, data in files.items():
            write(os.path.join(remote, name), data)
        self.server = FtpServer(self.ftp_root, self.port, self.user, self.password, self.case_dir)
        self.server.start()

    def local(self, files):
        for name, data in files.items():
            write(os.path.join(self.cwd, name), data)

    def start(self, args, variant="app"):
        self.runs += 1
        out = os.path.join(self.case_dir, "run%d.out" % self.runs)
        proc = self.wine.start(self.exes[variant], args, self.cwd, out)
        self.procs.append(proc)
        return proc

    def finish(self, proc, timeout=RUN_TIMEOUT):
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            _, names = self.window_names()
            proc.kill()
            proc.wait()
            raise Failure("the updater did not end within %d s (windows on the display: %s)"
                          % (timeout, names or "none"))

    def run(self, args, variant="app"):
        return self.finish(self.start(args, variant))

    def window_names(self):
        code, ids = xdotool(self.display, "search", "--name", ".")
        names = []
        for wid in ids.split():
            _, name = xdotool(self.display, "getwindowname", wid)
            if name.strip():
                names.append(name.strip())
        return code, names

    def message_box(self, proc, title, text, timeout=BOX_TIMEOUT):
        """Waits for the box titled title, checks it, dismisses it with the
        Return key and returns the updater's exit code."""
        deadline = time.time() + timeout
        wids = []
        while time.time() < deadline:
            _, out = xdotool(self.display, "search", "--name", "^%s$" % title)
            wids = out.split()
            if wids:
                break
            if proc.poll() is not None:
                raise Failure("the updater ended with exit code %d without showing %r"
                              % (proc.returncode, title))
            time.sleep(0.2)
        if not wids:
            _, names = self.window_names()
            proc.kill()
            proc.wait()
            raise Failure("no window titled %r within %d s (windows: %s)"
                          % (title, BOX_TIMEOUT, names or "none"))
        wid = wids[0]
        _, name = xdotool(self.display, "getwindowname", wid)
        check(name.strip() == title, "X window title is %r, expected %r" % (name.strip(), title))

        # What the box shows, seen from Windows.
        deadline = time.time() + 20
        while True:
            code, info = self.wine.run_capture(self.boxinfo_exe, [title])
            if code == 0 or time.time() > deadline:
                break
            time.sleep(0.2)
        check(code == 0, "no dialog titled %r found from inside Wine: %r" % (title, info))
        lines = info.replace("\r\n", "\n").split("\n")
        check("title %s" % title in lines, "dialog title: %r" % info)
        # The visible static controls with a text (the icon's is empty).
        texts = [l.split(" ", 3)[3] for l in lines
                 if l.startswith("child Static 1 ") and len(l.split(" ", 3)) == 4
                 and l.split(" ", 3)[3]]
        buttons = [l.split(" ", 3)[3] if len(l.split(" ", 3)) == 4 else ""
                   for l in lines if l.startswith("child Button ")]
        check(texts == [text], "message text is %r, expected %r" % (texts, text))
        check([b.replace("&", "") for b in buttons] == ["OK"],
              "buttons are %r, expected one OK" % buttons)
        check(proc.poll() is None,
              "the updater ended (exit code %s) while its box was still up" % proc.returncode)

        # The user presses Return on the box.
        xdotool(self.display, "windowfocus", "--sync", wid)
        xdotool(self.display, "key", "--clearmodifiers", "Return")
        try:
            code = proc.wait(30)
        except subprocess.TimeoutExpired:
            xdotool(self.display, "key", "--window", wid, "Return")
            code = self.finish(proc, 30)
        _, out = xdotool(self.display, "search", "--name", "^%s$" % title)
        check(not out.split(), "the box %r is still on the display after the updater ended" % title)
        return code

    def app_marker(self):
        path = os.path.join(self.cwd, "brindax-started.txt")
        if not os.path.exists(path):
            return None
        return read(path).decode("latin-1").replace("\r\n", "\n").splitlines()

    def wait_for_app(self):
        """Waits (at most APP_TIMEOUT) until the started Brindax.exe has
        ended; its marker's lines, None when it never started."""
        deadline = time.time() + APP_TIMEOUT
        while "done" not in (self.app_marker() or []) and time.time() < deadline:
            time.sleep(0.2)
        return self.app_marker()


# --- the cases ---------------------------------------------------------------------

VERSIONS = b"pack-1.zip\nBrindax.exe@1.0@main\ndata.txt@1.0\nnotes.txt@3\n"
CASES = []


def case(fn):
    CASES.append(fn)
    return fn


def check_installed(s, want):
    """A full install ended with exactly `want` in the folder ({name: bytes})
    and started Brindax.exe."""
    check(s.wait_for_app() is not None, "Brindax.exe was not started")
    got = tree(s.cwd)
    got.pop("brindax-started.txt", None)
    check(got == want, "files after the install: %s" % sorted(got))


@case
def no_mode_word_with_a_local_list_does_nothing(s):
    # No server at all: a connection attempt would end in a message box.
    s.local({"LocalVersion.ver": VERSIONS, "data.txt": b"old"})
    before = tree(s.cwd)
    check(s.run([]) == 0, "exit code is not 0")
    check(tree(s.cwd) == before, "the folder changed")


@case
def mode_word_in_other_letter_case_selects_nothing(s):
    s.local({"LocalVersion.ver": VERSIONS})
    before = tree(s.cwd)
    for word in ("updateavailable", "MAJALL", "majlocal"):
        check(s.run([word]) == 0, "exit code is not 0 for %s" % word)
    check(tree(s.cwd) == before, "the folder changed")


@case
def check_same_lists_exit_0(s):
    s.serve({s.version_file: VERSIONS})
    s.local({"LocalVersion.ver": VERSIONS})
    code = s.run(["UpdateAvailable"])
    check(code == 0, "exit code %d, expected 0" % code)
    check(not os.path.exists(os.path.join(s.cwd, "ServerVersion.ver")),
          "ServerVersion.ver was left behind")
    check(tree(s.cwd) == {"LocalVersion.ver": VERSIONS}, "the folder changed")


@case
def check_more_lines_on_server_exit_1(s):
    s.serve({s.version_file: VERSIONS + b"extra.txt@1\n"})
    s.local({"LocalVersion.ver": VERSIONS})
    code = s.run(["UpdateAvailable", "ignored-second-parameter"])
    check(code == 1, "exit code %d, expected 1" % code)
    check(not os.path.exists(os.path.join(s.cwd, "ServerVersion.ver")),
          "ServerVersion.ver was left behind")


@case
def check_changed_version_exit_2(s):
    s.serve({s.version_file: VERSIONS.replace(b"notes.txt@3", b"notes.txt@4")})
    s.local({"LocalVersion.ver": VERSIONS})
    code = s.run(["UpdateAvailable"])
    check(code == 2, "exit code %d, expected 2" % code)
    check(tree(s.cwd) == {"LocalVersion.ver": VERSIONS}, "the folder changed")


@case
def check_without_local_list_exit_1_and_creates_no_list(s):
    # A missing local list reads as empty and is not created, so that a
    # later start without a mode word still installs.
    s.serve({s.version_file: VERSIONS})
    code = s.run(["UpdateAvailable"])
    check(code == 1, "exit code %d, expected 1" % code)
    check(tree(s.cwd) == {}, "expected an empty folder, found %s" % sorted(tree(s.cwd)))


def package_files(s):
    return {"Brindax.exe": s.app_bytes,
            "data.txt": b"data, version 1.0\r\n",
            "notes.txt": bytes(range(256)) * 40,
            "empty.txt": b"",
            "sub/deeper/level.txt": b"two folders down"}


def package_entries(s):
    # With a directory entry of its own before the files.
    entries = {"docs/": b""}
    entries.update(package_files(s))
    return entries


def files_on_disk(s):
    # Folders are created as needed; the list of files uses the OS's separator.
    return {os.path.join(*name.split("/")): data for name, data in package_files(s).items()}


@case
def full_install_unpacks_everything_and_starts_the_application(s):
    files = files_on_disk(s)
    s.serve({s.version_file: VERSIONS, "pack-1.zip": make_zip(package_entries(s))})
    s.local({"LocalVersion.ver": b"old-pack.zip\nBrindax.exe@0.9\n", "data.txt": b"old data"})
    code = s.run(["MajAll"])
    marker_at_exit = s.app_marker() or []
    check(code == 0, "exit code %d, expected 0" % code)
    check("done" not in marker_at_exit,
          "Brindax.exe had already ended when the updater ended: the updater waited for it")
    s.wait_for_app()
    marker = s.app_marker()
    check(marker is not None, "Brindax.exe was not started")
    starts = [l for l in marker if l.startswith("start|")]
    check(len(starts) == 1, "Brindax.exe started %d times" % len(starts))
    _, command_line, directory = starts[0].split("|", 2)
    check(command_line.strip() == '"Brindax.exe"',
          "Brindax.exe got the command line %r, expected '\"Brindax.exe\"'" % command_line)
    check(directory.rstrip("\\").lower() == windows_path(s.cwd).lower(),
          "Brindax.exe ran in %r, expected %r" % (directory, windows_path(s.cwd)))
    got = tree(s.cwd)
    got.pop("brindax-started.txt", None)
    want = dict(files, **{"LocalVersion.ver": VERSIONS})
    check(sorted(got) == sorted(want), "files after the install: %s" % sorted(got))
    for name, data in want.items():
        check(got[name] == data, "%s differs from the server's" % name)
    check(os.path.isdir(os.path.join(s.cwd, "docs")), "the directory entry docs/ was not made")


@case
def full_install_over_active_mode_data_connections(s):
    # The build that asks the server to connect back (PORT) for every file.
    files = files_on_disk(s)
    s.serve({s.version_file: VERSIONS, "pack-1.zip": make_zip(package_entries(s))})
    code = s.run(["MajAll"], variant="active")
    check(code == 0, "exit code %d, expected 0" % code)
    check_installed(s, dict(files, **{"LocalVersion.ver": VERSIONS}))


@case
def first_start_without_local_list_installs_and_reports_success(s):
    # The build without an application to start shows a notice instead.
    files = files_on_disk(s)
    s.serve({s.version_file: VERSIONS, "pack-1.zip": make_zip(package_entries(s))})
    proc = s.start([], variant="noapp")
    code = s.message_box(proc, "Reveriv", "UnZip success")
    check(code == 0, "exit code %d, expected 0" % code)
    got = tree(s.cwd)
    want = dict(files, **{"LocalVersion.ver": VERSIONS})
    check(got == want, "files after the install: %s" % sorted(got))
    check(s.app_marker() is None, "an application was started")


@case
def two_full_installs_at_once_take_turns(s):
    # A user who double-clicks twice: the second run waits for the first
    # (the folder's named mutex), then installs again over what it left.
    # Neither shows a box; the release is installed and each run started the
    # application once. The second install finds Brindax.exe held by the
    # application the first one started, so the old file keeps its spare
    # names (the second name it was given before the replace was tried, and
    # the aside name it was renamed to instead) until the next install
    # removes them, as after any install over a running application; nothing
    # else of either run is left over.
    rng = random.Random(33)
    entries = package_entries(s)
    entries["big.bin"] = bytes(rng.getrandbits(8) for _ in range(3 << 20))
    s.serve({s.version_file: VERSIONS, "pack-1.zip": make_zip(entries)})
    first = s.start(["MajAll"])
    second = s.start(["MajAll"])
    codes = [s.finish(first), s.finish(second)]
    check(codes == [0, 0], "exit codes %s, expected 0 and 0" % codes)
    deadline = time.time() + APP_TIMEOUT
    starts = []
    while len(starts) < 2 and time.time() < deadline:
        starts = [l for l in (s.app_marker() or []) if l.startswith("start|")]
        time.sleep(0.2)
    check(len(starts) == 2, "Brindax.exe started %d times, expected twice" % len(starts))
    want = dict(files_on_disk(s), **{"LocalVersion.ver": VERSIONS, "big.bin": entries["big.bin"]})
    got = tree(s.cwd)
    got.pop("brindax-started.txt", None)
    aside = [name for name in got if name.startswith("Brindax.exe.brindax-old-")]
    check(len(aside) <= 2 and all(got.pop(name) == s.app_bytes for name in aside),
          "files put aside: %s" % aside)
    check(sorted(got) == sorted(want), "files after the installs: %s" % sorted(got))
    for name, data in want.items():
        check(got[name] == data, "%s differs from the server's" % name)
    # Once the applications have ended, the next install leaves nothing over.
    deadline = time.time() + APP_TIMEOUT
    while (s.app_marker() or []).count("done") < 2 and time.time() < deadline:
        time.sleep(0.2)
    code = s.run(["MajAll"])
    check(code == 0, "exit code %d of the next install, expected 0" % code)
    got = tree(s.cwd)
    got.pop("brindax-started.txt", None)
    check(sorted(got) == sorted(want), "files after the next install: %s" % sorted(got))


@case
def partial_update_unpacks_only_changed_entries(s):
    local_list = b"pack-2.zip\na.txt@1\nb.txt@1\nc.txt@1\n"
    server_list = b"pack-2.zip\na.txt@2\nb.txt@1\nc.txt@7\n"
    new = {"a.txt": b"a version 2", "b.txt": b"b from the package", "c.txt": b"c version 7"}
    s.serve({s.version_file: server_list, "pack-2.zip": make_zip(new)})
    s.local({"LocalVersion.ver": local_list, "a.txt": b"a version 1", "b.txt": b"b version 1",
             "c.txt": b"c version 1", "Brindax.exe": s.app_bytes})
    code = s.run(["MajLocal"])
    check(code == 0, "exit code %d, expected 0" % code)
    time.sleep(4)  # time enough for an application start to show
    got = tree(s.cwd)
    check(s.app_marker() is None, "the partial update started the application")
    want = {"LocalVersion.ver": local_list, "a.txt": b"a version 2", "b.txt": b"b version 1",
            "c.txt": b"c version 7", "Brindax.exe": s.app_bytes}
    check(sorted(got) == sorted(want), "files after the update: %s" % sorted(got))
    for name, data in want.items():
        check(got[name] == data, "%s: %r, expected %r" % (name, got[name][:40], data[:40]))


@case
def partial_update_fetches_only_the_changed_entry(s):
    # A package large enough for pieces: its end, then one entry's bytes
    # ("SIZE", then "REST" before each "RETR"), into a sparse local file.
    rng = random.Random(12)
    entries = {"part%d.bin" % i: bytes(rng.getrandbits(8) for _ in range(200000)) for i in range(6)}
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_STORED) as z:
        for name, data in entries.items():
            z.writestr(name, data)
    package = buf.getvalue()
    names = sorted(entries)
    server_list = ("pack-3.zip\n" + "".join("%s@2\n" % n for n in names)).encode()
    local_list = server_list.replace(b"part2.bin@2", b"part2.bin@1")
    commands = os.path.join(s.case_dir, "commands.log")
    transfers = os.path.join(s.case_dir, "transfers.log")
    s.serve({s.version_file: server_list, "pack-3.zip": package})
    s.server.stop()  # served again by the counting variant
    s.server.args[1] = os.path.join(ROOT, "testing", "ftp_server_counting.py")
    s.server.args += ["--command-log", commands, "--transfer-log", transfers]
    s.server.start()
    s.local({"LocalVersion.ver": local_list})
    code = s.run(["MajLocal"])
    check(code == 0, "exit code %d, expected 0" % code)
    got = tree(s.cwd)
    check(sorted(got) == ["LocalVersion.ver", "part2.bin"], "files after the update: %s" % sorted(got))
    check(got["part2.bin"] == entries["part2.bin"], "part2.bin differs from the package's")
    lines = read(commands).decode().splitlines()
    rest = [line for line in lines if line.startswith("REST ")]
    check("SIZE pack-3.zip" in lines and len(rest) == 2, "commands: %s" % lines)
    sent = sum(int(line.split()[1]) for line in read(transfers).decode().splitlines()
               if line.split()[0] == "pack-3.zip")
    # The end and part2.bin; under Wine the receive buffer does not hold the
    # server back, so what it sent past the range may run to the end of the
    # file, but never covers the whole package as a whole download does.
    check(200000 <= sent < len(package), "%d of %d package bytes sent" % (sent, len(package)))


@case
def full_install_continues_a_download_cut_in_the_middle(s):
    # The data connection breaks at half of the package: the run continues
    # from there ("REST" before "RETR") and installs in one go.
    rng = random.Random(21)
    data = bytes(rng.getrandbits(8) for _ in range(1500000))
    package = make_zip({"big.bin": data})
    server_list = b"pack-4.zip\nbig.bin@1\n"
    commands = os.path.join(s.case_dir, "commands.log")
    transfers = os.path.join(s.case_dir, "transfers.log")
    s.serve({s.version_file: server_list, "pack-4.zip": package})
    s.server.stop()  # served again by the counting variant, which breaks it
    s.server.args[1] = os.path.join(ROOT, "testing", "ftp_server_counting.py")
    s.server.args += ["--command-log", commands, "--transfer-log", transfers,
                      "--drop-at", "pack-4.zip:0.5"]
    s.server.start()
    proc = s.start(["MajAll"], variant="noapp")
    code = s.message_box(proc, "Reveriv", "UnZip success")
    check(code == 0, "exit code %d, expected 0" % code)
    got = tree(s.cwd)
    check(got.get("big.bin") == data, "big.bin was not installed whole")
    check("package.brindax-part" not in got, "the partial package stayed: %s" % sorted(got))
    lines = read(commands).decode().splitlines()
    check(len([line for line in lines if line.startswith("REST ")]) == 2, "commands: %s" % lines)
    sent = sum(int(line.split()[1]) for line in read(transfers).decode().splitlines()
               if line.split()[0] == "pack-4.zip")
    check(sent <= len(package) * 1.1, "%d of %d package bytes sent" % (sent, len(package)))


@case
def partial_update_without_changes_fetches_nothing(s):
    # The package is not on the server: fetching it would fail with a box.
    s.serve({s.version_file: VERSIONS})
    s.local({"LocalVersion.ver": VERSIONS, "data.txt": b"local"})
    before = tree(s.cwd)
    code = s.run(["MajLocal"])
    check(code == 0, "exit code %d, expected 0" % code)
    check(tree(s.cwd) == before, "the folder changed: %s" % sorted(tree(s.cwd)))


@case
def box_when_the_server_cannot_be_reached(s):
    s.local({"LocalVersion.ver": VERSIONS})
    code = s.message_box(s.start(["UpdateAvailable"]), "Ftp Error", "Canot open Ftp connection")
    check(code == 0, "exit code %d, expected 0" % code)


@case
def box_when_the_update_directory_is_missing(s):
    s.serve({}, make_directory=False)
    s.local({"LocalVersion.ver": VERSIONS})
    code = s.message_box(s.start(["MajLocal"]), "Ftp Error", "Canot open Ftp directory")
    check(code == 0, "exit code %d, expected 0" % code)


@case
def box_when_the_version_list_is_missing(s):
    s.serve({})
    s.local({"LocalVersion.ver": VERSIONS})
    code = s.message_box(s.start(["UpdateAvailable"]), "Ftp Error", "Canot dowload version file")
    check(code == 0, "exit code %d, expected 0" % code)
    check(tree(s.cwd).get("LocalVersion.ver") == VERSIONS, "LocalVersion.ver changed")


@case
def box_when_the_server_stops_sending(s):
    # The data connection stays open and silent: the download gives up after
    # the session time-out (30 s), and so does the wait for the final reply
    # that never comes, instead of hanging the updater.
    s.server = StallingFtpServer(s.port)
    s.server.start()
    s.local({"LocalVersion.ver": VERSIONS})
    started = time.time()
    code = s.message_box(s.start(["UpdateAvailable"]), "Ftp Error", "Canot dowload version file",
                         timeout=BOX_TIMEOUT + 40)
    check(code == 0, "exit code %d, expected 0" % code)
    check(time.time() - started >= 25, "gave up after %.0f s, before the time-out" % (time.time() - started))
    check(tree(s.cwd) == {"LocalVersion.ver": VERSIONS}, "files left: %s" % sorted(tree(s.cwd)))


@case
def mirrors_are_tried_in_turn_until_one_greets(s):
    # The test build "brindax-updater-local-mirrors" names three hosts at the
    # test port, with a 3 s time-out: 127.0.0.2 refuses (nothing listens),
    # 127.0.0.3 takes the connection and never greets, 127.0.0.1 serves.
    src = os.path.join(s.build_dir, "tests", "brindax-updater-local-mirrors.exe")
    check(os.path.exists(src), "%s missing; build the windows-x64 preset first" % src)
    exe = os.path.join(s.bin, "brindax updater mirrors.exe")
    shutil.copy2(src, exe)
    silent = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        silent.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        silent.bind(("127.0.0.3", s.port))
        silent.listen(4)
        s.serve({s.version_file: VERSIONS})
        s.local({"LocalVersion.ver": VERSIONS.replace(b"notes.txt@3", b"notes.txt@2")})
        s.runs += 1
        proc = s.wine.start(exe, ["UpdateAvailable"], s.cwd,
                            os.path.join(s.case_dir, "run%d.out" % s.runs))
        s.procs.append(proc)
        started = time.time()
        code = s.finish(proc)
        check(code == 2, "exit code %d, expected 2 (a version differs)" % code)
        check(time.time() - started >= 2.5,
              "ended after %.1f s: the silent mirror was not waited for"
              % (time.time() - started))
        check(sorted(tree(s.cwd)) == ["LocalVersion.ver"], "files left: %s" % sorted(tree(s.cwd)))
    finally:
        silent.close()


@case
def box_when_the_package_is_missing(s):
    # The local list stays as it was after a failed install.
    s.serve({s.version_file: VERSIONS})
    s.local({"LocalVersion.ver": b"old.zip\n"})
    code = s.message_box(s.start(["MajAll"]), "Ftp Error", "Canot dowload Zip file")
    check(code == 0, "exit code %d, expected 0" % code)
    got = tree(s.cwd)
    check(got == {"LocalVersion.ver": b"old.zip\n"},
          "expected only the old LocalVersion.ver, found %s" % sorted(got))


@case
def box_when_the_package_is_no_zip_archive(s):
    junk = b"this is not a zip archive\n" * 10
    s.serve({s.version_file: VERSIONS, "pack-1.zip": junk})
    code = s.message_box(s.start(["MajAll"]), "unzip Error", "Canot open Zip file")
    check(code == 0, "exit code %d, expected 0" % code)
    got = tree(s.cwd)
    check(got == {}, "the fetched file was left: %s" % sorted(got))


@case
def full_install_failing_late_changes_nothing(s):
    # The entries before a bad one are staged, never put in place; and an
    # installed file held open by a running program is not replaced either:
    # the files moved before it are put back.
    old = {"LocalVersion.ver": b"old.zip\nBrindax.exe@0.9\n", "Brindax.exe": b"old program",
           "data.txt": b"old data", "sub/held.txt": b"held by another program"}
    bad_packages = [
        ("pack-1.zip", {"Brindax.exe": s.app_bytes, "data.txt": b"new", "new/x.txt": b"x",
                        "sub/CON.txt": b"device"}, "Canot uncompress filesub/CON.txt"),
        ("pack-1.zip", {"Brindax.exe": s.app_bytes, "data.txt": b"new", "Data.TXT": b"twice"},
         "Canot uncompress fileData.TXT"),
        ("pack-1.zip", {"Brindax.exe": s.app_bytes, "\u03a9.txt": b"no 8-bit name"},
         "Canot uncompress file?.txt"),
        ("pack-1.zip", {"Brindax.exe": s.app_bytes, "data.txt": b"new", "sub/held.txt": b"new"},
         "Canot uncompress filesub/held.txt"),
    ]
    for number, (package, entries, text) in enumerate(bad_packages):
        if number:
            s.end()
            s.begin("full_install_failing_late_changes_nothing-%d" % number)
        s.serve({s.version_file: VERSIONS, package: make_zip(entries)})
        s.local(old)
        before = tree(s.cwd)
        holder = None
        if "held" in text:
            # A Windows program that keeps the file open without sharing it.
            holder = s.wine.start(s.holder_exe, ["sub\\held.txt", "60"], s.cwd,
                                  os.path.join(s.case_dir, "holder.out"))
            deadline = time.time() + 20
            while time.time() < deadline and b"holding" not in read(
                    os.path.join(s.case_dir, "holder.out")):
                time.sleep(0.2)
        try:
            code = s.message_box(s.start(["MajAll"]), "unzip Error", text)
        finally:
            if holder:
                stop_process(holder)
        check(code == 0, "exit code %d, expected 0" % code)
        got = tree(s.cwd)
        check(got == before, "changed in the folder: %s"
              % sorted(k for k in set(got) | set(before) if got.get(k) != before.get(k)))
        check(s.app_marker() is None, "an application was started")


@case
def full_install_replaces_a_running_application(s):
    # The installed Brindax.exe is running (a program that holds a file
    # elsewhere and waits): Windows lets it be renamed, not replaced. The
    # install puts the new one in its place; the old one's spare name goes
    # with the next run after it has ended.
    s.serve({s.version_file: VERSIONS,
             "pack-1.zip": make_zip({"Brindax.exe": s.app_bytes, "data.txt": b"new data"})})
    s.local({"LocalVersion.ver": b"old.zip\nBrindax.exe@0.9\n", "Brindax.exe": read(s.holder_exe),
             "data.txt": b"old data"})
    write(os.path.join(s.case_dir, "held.txt"), b"")
    running = s.wine.start(os.path.join(s.cwd, "Brindax.exe"), ["..\\held.txt", "60"], s.cwd,
                           os.path.join(s.case_dir, "running.out"))
    try:
        deadline = time.time() + 20
        while time.time() < deadline and b"holding" not in read(os.path.join(s.case_dir, "running.out")):
            time.sleep(0.2)
        check(b"holding" in read(os.path.join(s.case_dir, "running.out")), "the old Brindax.exe did not start")
        code = s.run(["MajAll"])
        check(code == 0, "exit code %d, expected 0" % code)
        check(read(os.path.join(s.cwd, "Brindax.exe")) == s.app_bytes, "the new Brindax.exe is not in place")
        check(s.wait_for_app() is not None, "the new Brindax.exe was not started")
    finally:
        stop_process(running)
    code = s.run(["MajLocal"])  # nothing changed: it only tidies up
    check(code == 0, "exit code %d, expected 0" % code)
    got = tree(s.cwd)
    got.pop("brindax-started.txt", None)
    want = {"LocalVersion.ver": VERSIONS, "Brindax.exe": s.app_bytes, "data.txt": b"new data"}
    check(got == want, "files after the next run: %s" % sorted(got))


@case
def box_when_an_entry_would_leave_the_folder(s):
    # Windows separators and drive-relative names count as well.
    for number, hostile in enumerate(("..\\escaped.txt", "C:escaped.txt")):
        if number:
            s.end()
            s.begin("box_when_an_entry_would_leave_the_folder-%d" % number)
        entries = {hostile: b"outside", "inside.txt": b"inside"}
        s.serve({s.version_file: b"pack-3.zip\ninside.txt@1\n", "pack-3.zip": make_zip(entries)})
        code = s.message_box(s.start(["MajAll"]), "unzip Error", "Canot uncompress file" + hostile)
        check(code == 0, "exit code %d, expected 0" % code)
        got = tree(s.case_dir)
        check(not any("escaped" in name for name in got),
              "%r was written: %s" % (hostile, sorted(got)))
        check(tree(s.cwd) == {}, "files left in the folder: %s" % sorted(tree(s.cwd)))


def signed_release(s, files):
    """files ({name: bytes}) with a minisign signature "<name>.minisig" of
    each, made with the build's test key; the version list's trusted comment
    binds the release (sequence 1) to the package named on its first line."""
    check(os.path.exists(s.secret_key), "no test key pair in the build (%r)" % s.secret_key)
    folder = os.path.join(s.case_dir, "release")
    signed = dict(files)
    package = files.get(files.get(s.version_file, b"").split(b"\n")[0].decode("latin-1"), b"")
    binding = "brindax-release:1 size:%d blake2b512:%s" % (
        len(package), hashlib.blake2b(package, digest_size=64).hexdigest())
    for name, data in files.items():
        write(os.path.join(folder, name), data)
        comment = ["-t", binding] if name == s.version_file else []
        subprocess.run([MINISIGN, "-S", "-s", s.secret_key, "-m", os.path.join(folder, name)] + comment,
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        signed[name + ".minisig"] = read(os.path.join(folder, name + ".minisig"))
    return signed


@case
def signed_release_installs(s):
    files = files_on_disk(s)
    s.serve(signed_release(s, {s.version_file: VERSIONS, "pack-1.zip": make_zip(package_entries(s))}))
    code = s.run(["MajAll"], variant="signed")
    check(code == 0, "exit code %d, expected 0" % code)
    check_installed(s, dict(files, **{"LocalVersion.ver": VERSIONS,
                                      "LocalVersion.seq": b"Brindax installed release sequence\n1\n"}))


def signed_install_refused(s, message):
    """A signed full install that ends with one Signature Error box showing
    `message`, exit code 0, the folder as it was and no application started."""
    before = tree(s.cwd)
    code = s.message_box(s.start(["MajAll"], variant="signed"), "Signature Error", message)
    check(code == 0, "exit code %d, expected 0" % code)
    check(tree(s.cwd) == before, "the folder changed: %s" % sorted(tree(s.cwd)))
    check(s.app_marker() is None, "an application was started")


@case
def box_when_the_signed_package_was_changed(s):
    release = signed_release(s, {s.version_file: VERSIONS, "pack-1.zip": make_zip(package_entries(s))})
    package = bytearray(release["pack-1.zip"])
    package[len(package) // 2] ^= 1
    release["pack-1.zip"] = bytes(package)
    s.serve(release)
    s.local({"LocalVersion.ver": b"old.zip\nBrindax.exe@0.9\n", "data.txt": b"old data"})
    signed_install_refused(s, "The update package is not signed by the publisher: "
                              "it is not the package that the version list names.")


@case
def box_when_the_release_is_older_than_the_installed_one(s):
    # Release 1 served to an installation of release 2: refused, nothing changes.
    s.serve(signed_release(s, {s.version_file: VERSIONS, "pack-1.zip": make_zip(package_entries(s))}))
    s.local({"LocalVersion.ver": b"old.zip\nBrindax.exe@0.9\n", "data.txt": b"old data",
             "LocalVersion.seq": b"Brindax installed release sequence\n2\n"})
    signed_install_refused(s, "The update server's release is older than the installed one.")


def keys_file(s, version, release_pub, folder):
    """Version `version` of the keys file: the build's two test roots
    (threshold 2, both signing) name the release key of `release_pub`."""
    key_dir = os.path.dirname(s.secret_key)
    line = lambda pub: read(pub).decode().splitlines()[1]
    roots = [os.path.join(key_dir, "root%d" % n) for n in (1, 2)]
    body = "Brindax keys file\nversion: %d\nexpires: %d\nthreshold: 2\n" % (version, time.time() + 30 * 86400)
    body += "".join("root: %s\n" % line(root + ".pub") for root in roots)
    body += "release: %s\n" % line(release_pub)
    body_file = os.path.join(folder, "keys-body-%d" % version)
    write(body_file, body.encode())
    text = body + "signatures:\n"
    for root in roots:
        subprocess.run([MINISIGN, "-S", "-s", root + ".key", "-t", "brindax-keys", "-m", body_file],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        text += read(body_file + ".minisig").decode()
    return text.encode()


@case
def rotated_release_key_replaces_the_old_one(s):
    # Installed at keys version 1 (release key "old"); version 2 names "new"
    # alone: a list signed by "new" installs and records version 2, one
    # signed by "old" is refused from then on.
    folder = os.path.join(s.case_dir, "keys")
    os.makedirs(folder)
    for name in ("old", "new"):
        subprocess.run([MINISIGN, "-G", "-W", "-p", os.path.join(folder, name + ".pub"),
                        "-s", os.path.join(folder, name + ".key")],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    v1 = keys_file(s, 1, os.path.join(folder, "old.pub"), folder)
    v2 = keys_file(s, 2, os.path.join(folder, "new.pub"), folder)
    files = {s.version_file: VERSIONS, "pack-1.zip": make_zip(package_entries(s))}
    chain = {s.version_file + ".keys.1": v1, s.version_file + ".keys.2": v2, s.version_file + ".keys": v2}
    s.secret_key, old_key = os.path.join(folder, "new.key"), s.secret_key
    try:
        by_new = dict(signed_release(s, files), **chain)
        s.secret_key = os.path.join(folder, "old.key")
        by_old = dict(signed_release(s, files), **chain)
    finally:
        s.secret_key = old_key
    s.local({"LocalVersion.keys": v1})
    s.serve(by_new)
    code = s.run(["MajAll"], variant="rooted")
    check(code == 0, "exit code %d, expected 0" % code)
    check_installed(s, dict(files_on_disk(s), **{"LocalVersion.ver": VERSIONS, "LocalVersion.keys": v2,
                                                 "LocalVersion.seq": b"Brindax installed release sequence\n1\n"}))
    s.server.stop()
    s.serve(by_old)
    before = tree(s.cwd)
    code = s.message_box(s.start(["MajAll"], variant="rooted"), "Signature Error",
                         "The version list is not signed by the publisher: "
                         "it is signed with a key that is not a current release key.")
    check(code == 0, "exit code %d, expected 0" % code)
    check(tree(s.cwd) == before, "the folder changed: %s" % sorted(tree(s.cwd)))


@case
def publisher_release_installs_as_made(s):
    # brindax-publish.exe makes a release from a folder; verify accepts it and
    # catches a record whose entry is missing; the updater installs it as made.
    publish = os.path.join(s.build_dir, "bin", "brindax-publish.exe")
    check(os.path.exists(publish), "%s missing" % publish)
    source = {"Brindax.exe": s.app_bytes, "data/levels.txt": b"level 1\n", "notes.txt": b"n\n"}
    src, out = os.path.join(s.case_dir, "src"), os.path.join(s.case_dir, "out")
    for name, data in source.items():
        write(os.path.join(src, name), data)
    code, text = s.wine.run_capture(publish, ["make", windows_path(src), windows_path(out)])
    check(code == 0, "make exited %d: %s" % (code, text))
    code, text = s.wine.run_capture(publish, ["verify", windows_path(out)])
    check(code == 0, "verify of the release as made exited %d: %s" % (code, text))
    made = tree(out)
    check(sorted(made) == ["Brindax.ver", "Brindax.ver.manifest", "Brindax.zip"],
          "release files: %s" % sorted(made))
    broken = os.path.join(s.case_dir, "broken")
    for name, data in made.items():
        write(os.path.join(broken, name), data)
    write(os.path.join(broken, "Brindax.ver"), made["Brindax.ver"] + b"missing.txt@1\n")
    code, text = s.wine.run_capture(publish, ["verify", windows_path(broken)])
    check(code == 1 and "missing.txt" in text, "verify of a broken release: %d %r" % (code, text))

    s.serve(made)
    check(s.run(["MajAll"]) == 0, "the install did not exit with 0")
    check_installed(s, dict(source, **{"LocalVersion.ver": made["Brindax.ver"]}))


def update_by_pieces(s, spoil):
    """Releases 1 and 2 made by brindax-publish.exe (2 with deltas from 1),
    an installation of release 1 and a partial update to release 2 after
    spoil(served files); the served files' commands the update sent."""
    publish = os.path.join(s.build_dir, "bin", "brindax-publish.exe")
    check(os.path.exists(publish), "%s missing" % publish)
    rng = random.Random(23)
    core = bytearray(rng.getrandbits(8) for _ in range(300000))
    releases = []
    for number in (1, 2):
        if number == 2:
            core[100000:100100] = bytes(rng.getrandbits(8) for _ in range(100))
        source = {"Brindax.exe": s.app_bytes, "lib/core.bin": bytes(core), "notes.txt": b"n\n"}
        src, out = (os.path.join(s.case_dir, "%s%d" % (kind, number)) for kind in ("src", "out"))
        for name, data in source.items():
            write(os.path.join(src, name), data)
        args = ["make", windows_path(src), windows_path(out)]
        if number == 2:
            args += ["--previous", windows_path(releases[0][1])]
        code, text = s.wine.run_capture(publish, args)
        check(code == 0, "make exited %d: %s" % (code, text))
        releases.append((source, out))
    (old, r1), (new, r2) = releases
    served = tree(r2)
    check(any(name.startswith("deltas" + os.sep) for name in served), "no delta file: %s" % sorted(served))
    spoil(served)
    commands = os.path.join(s.case_dir, "commands.log")
    s.serve(served)
    s.server.stop()  # served again with a log of the commands
    s.server.args += ["--command-log", commands]
    s.server.start()
    s.local(dict(old, **{"LocalVersion.ver": tree(r1)["Brindax.ver"]}))
    check(s.run(["MajLocal"]) == 0, "the update did not exit with 0")
    got = tree(s.cwd)
    check(got.get("lib/core.bin".replace("/", os.sep)) == new["lib/core.bin"],
          "lib/core.bin is not release 2's")
    return read(commands).decode().splitlines()


@case
def partial_update_applies_a_delta(s):
    lines = update_by_pieces(s, lambda served: None)
    check("RETR Brindax.ver.manifest" in lines, "commands: %s" % lines)
    check(not [l for l in lines if l.startswith("RETR Brindax.zip")], "the package was fetched: %s" % lines)
    check([l for l in lines if l.startswith("RETR deltas/")], "no delta fetched: %s" % lines)


@case
def partial_update_without_its_delta_takes_the_entry(s):
    def drop_deltas(served):
        for name in [n for n in served if n.startswith("deltas" + os.sep)]:
            del served[name]
    lines = update_by_pieces(s, drop_deltas)
    check([l for l in lines if l.startswith("RETR Brindax.zip")], "the entry was not fetched: %s" % lines)


# --- releases over HTTPS (WinHTTP) --------------------------------------------------

def serve_https(s, files, certificate, plain_port=None, locations=""):
    """nginx serving files under /kelmor/ with the certificate `certificate`,
    and over plain HTTP on plain_port when given."""
    www = os.path.join(s.case_dir, "www")
    for name, data in files.items():
        write(os.path.join(www, "kelmor", name), data)
    extra = ""
    if plain_port is not None:
        extra = "  server {\n    listen 127.0.0.1:%d;\n    root %s;\n  }" % (plain_port, www)
    s.server = Nginx(www, s.https_port, s.certificates, certificate, s.case_dir, locations, extra)
    s.server.start()


class TrustedTestCa:
    """The test CA in the Wine user's Root store while the block runs."""

    def __init__(self, s):
        self.s = s

    def _trustca(self, verb):
        code, text = self.s.wine.run_capture(self.s.trustca_exe, [verb, windows_path(self.s.test_ca)])
        check(code == 0, "trustca %s exited %d: %s" % (verb, code, text))

    def __enter__(self):
        self._trustca("add")

    def __exit__(self, kind, value, trace):
        self._trustca("remove")


class StallingTlsPeer:
    """A TLS server on 127.0.0.1:port that answers any request with a 200 of
    100000 bytes, sends 10 of them and then nothing."""

    def __init__(self, port, certificates):
        import ssl
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(os.path.join(certificates, "ok.crt"),
                                     os.path.join(certificates, "ok.key"))
        self.listener = socket.create_server(("127.0.0.1", port))
        self.held = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            raw, _ = self.listener.accept()
            connection = self.context.wrap_socket(raw, server_side=True)
            self.held.append(connection)
            request = b""
            while b"\r\n\r\n" not in request:
                chunk = connection.recv(4096)
                if not chunk:
                    return
                request += chunk
            connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n0123456789")
        except OSError:
            pass

    def stop(self):
        for sock in self.held + [self.listener]:
            try:
                sock.close()
            except OSError:
                pass
        self.thread.join(5)


def needs_https(fn):
    def run(s):
        if s.https_port is None:
            raise Skip("no --https-build-dir")
        fn(s)
    run.__name__ = fn.__name__
    return run


@case
@needs_https
def https_full_install_through_winhttp(s):
    files = files_on_disk(s)
    serve_https(s, {s.version_file: VERSIONS, "pack-1.zip": make_zip(package_entries(s))}, "ok")
    s.local({"LocalVersion.ver": b"old-pack.zip\nBrindax.exe@0.9\n", "data.txt": b"old data"})
    with TrustedTestCa(s):
        code = s.run(["MajAll"], variant="https")
    check(code == 0, "exit code %d, expected 0" % code)
    check_installed(s, dict(files, **{"LocalVersion.ver": VERSIONS}))
    requests = s.server.requests()
    check(any("GET /kelmor/pack-1.zip " in r for r in requests), "requests: %s" % requests)
    # Every request asked for no coding, and all went over one connection.
    check(all('"identity"' in r for r in requests), "Accept-Encoding: %s" % requests)
    connections = {r.split()[0] for r in requests}
    check(len(connections) == 1, "%d connections for %s" % (len(connections), requests))


@case
@needs_https
def https_box_when_the_certificate_is_of_another_ca(s):
    serve_https(s, {s.version_file: VERSIONS, "pack-1.zip": make_zip(package_entries(s))}, "other")
    s.local({"LocalVersion.ver": b"old-pack.zip\nBrindax.exe@0.9\n", "data.txt": b"old data"})
    before = tree(s.cwd)
    code = s.message_box(s.start(["MajAll"], variant="https"), "Ftp Error",
                         "Canot open Ftp connection")
    check(code == 0, "exit code %d, expected 0" % code)
    check(tree(s.cwd) == before, "the folder changed: %s" % sorted(tree(s.cwd)))
    check(s.server.requests() == [], "requests were served: %s" % s.server.requests())


@case
@needs_https
def https_client_hands_over_responses_as_they_are(s):
    # The WinHTTP client alone (brindax-https-probe): each request's outcome
    # and what its handler got.
    probe = os.path.join(s.build_dir, "tests", "brindax-https-probe.exe")
    check(os.path.exists(probe), "%s missing" % probe)
    base = "https://127.0.0.1:%d" % s.https_port
    plain = "http://127.0.0.1:%d" % (s.https_port + 1)
    stalling = s.https_port + 2
    serve_https(s, {"data.txt": b"abcdefghij"}, "ok", plain_port=s.https_port + 1,
                locations="    location = /moved { return 302 /kelmor/data.txt; }")
    peer = StallingTlsPeer(stalling, s.certificates)
    # (arguments, outcome, status line or None, body or None)
    table = [
        ([base + "/kelmor/data.txt", "--range", "1", "3"], "complete", "206", b"bcd"),
        # A validator that does not match: the whole file, so If-Range was sent.
        ([base + "/kelmor/data.txt", "--range", "1", "3", "--if-range", '"other"'],
         "complete", "200", b"abcdefghij"),
        ([base + "/moved"], "complete", "302", None),
        ([plain + "/kelmor/data.txt"], "failed", None, b""),
        ([plain + "/kelmor/data.txt", "--plain"], "complete", "200", b"abcdefghij"),
        (["https://127.0.0.1:%d/kelmor/data.txt" % (s.https_port + 3)], "unreachable", None, b""),
        (["https://127.0.0.1:%d/x" % stalling, "--timeout", "2"], "failed", "200", b"0123456789"),
    ]
    try:
        with TrustedTestCa(s):
            for args, outcome, status, body in table:
                started = time.time()
                code, out = s.wine.run_capture(probe, args, timeout=RUN_TIMEOUT)
                took = time.time() - started
                lines = out.replace("\r\n", "\n").splitlines()
                what = "%s: %r" % (" ".join(args), lines)
                check(code == 0 and lines and lines[-1] == "outcome " + outcome, what)
                headers = [l[len("header "):] for l in lines if l.startswith("header ")]
                if status is not None:
                    check(headers and headers[0].split()[1] == status and headers[-1] == "", what)
                if body is not None:
                    check("body %d %s" % (len(body), body.decode()) in lines, what)
                # A 2 s bound must end the stalled body well before WinHTTP's
                # own 30 s would.
                limit = 20 if "--timeout" in args else 45
                check(took < limit, "%s took %.0f s" % (" ".join(args), took))
    finally:
        peer.stop()
    # Two ranges and the allowed http:// request: the redirect was not
    # followed, and the refused http:// URL never sent.
    requests = s.server.requests()
    check(sum("/kelmor/data.txt " in r for r in requests) == 3, "requests: %s" % requests)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "windows-x64"))
    parser.add_argument("--product", help="updater built for 127.0.0.1 and the test port")
    parser.add_argument("--https-build-dir",
                        help="64-bit product build for https://127.0.0.1:<port>/kelmor/")
    parser.add_argument("-k", dest="only", help="run only the cases whose name holds this")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    opts = parser.parse_args()

    cases = [c for c in CASES if not opts.only or opts.only in c.__name__]
    if not cases:
        print("wine e2e: no case matches %r" % opts.only)
        return 2
    started = time.time()
    suite = Suite(opts)
    failed = []
    skipped = []
    try:
        for fn in cases:
            suite.begin(fn.__name__)
            t0 = time.time()
            try:
                fn(suite)
                print("PASS  %s (%.1f s)" % (fn.__name__, time.time() - t0), flush=True)
            except Skip as e:
                skipped.append(fn.__name__)
                print("SKIP  %s: %s" % (fn.__name__, e), flush=True)
            except Failure as e:
                failed.append(fn.__name__)
                print("FAIL  %s: %s" % (fn.__name__, e), flush=True)
            except Exception:
                failed.append(fn.__name__)
                print("FAIL  %s: unexpected error\n%s" % (fn.__name__, traceback.format_exc()),
                      flush=True)
            finally:
                suite.end()
    finally:
        suite.close()
        if not opts.keep and not failed:
            shutil.rmtree(suite.work, ignore_errors=True)
    print("wine e2e: %d passed, %d failed, %d skipped of %d cases (%.0f s)%s"
          % (len(cases) - len(failed) - len(skipped), len(failed), len(skipped), len(cases),
             time.time() - started, "" if not failed else "; failed: " + ", ".join(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
