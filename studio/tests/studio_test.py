#!/usr/bin/python3
"""duostem-studio run for real.
  server:  who gets in (token, cookie, Host, Origin, upload size, malformed
           requests), usage errors, a table of attacks by another local
           program, and an interrupt in the middle of a song.
  browser: headless Chromium opens the studio through its forwarding file,
           visits another local server that sets cookies of the same name,
           drops an MP3, an accepted WAV and a WAV duostem refuses, then
           cancels a song; stems, players, downloads, screenshot.

  figures: not a test; a 4-minute MP3 through the page, printing the time of
           each step and the server's and duostem's peak memory.
  screenshot: not a test; the README's picture, WORK_DIR/studio.png: the demo
           song (seed 1) through the page, the studio run as root in a mount
           namespace of its own from a made-up home folder, so that the page
           shows no folder of the machine it was made on.

usage: studio_test.py server|browser|figures|screenshot STUDIO MODEL WORK_DIR"""
import base64
import fcntl
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import soundfile as sf

MODE, STUDIO, MODEL, WORK = sys.argv[1], *(os.path.abspath(a) for a in sys.argv[2:5])
DUOSTEM = os.path.join(os.path.dirname(STUDIO), "duostem")
errors = []


def check(ok, what):
    if not ok:
        errors.append(what)


def start(*args, browser=False):
    """Starts the studio in WORK; returns the process, its port and its token.
    With browser, the studio opens its page with a stand-in xdg-open that
    records its arguments and the page's mode and text in WORK/opened."""
    env = dict(os.environ)
    if browser:
        bin_dir = os.path.join(WORK, "bin")
        os.makedirs(bin_dir, exist_ok=True)
        with open(os.path.join(bin_dir, "xdg-open"), "w") as opener:
            opener.write(f'#!/bin/sh\n{{ echo "$*"; stat -c %a "$1"; cat "$1"; }} >"{WORK}/opened.tmp"\n'
                         f'mv "{WORK}/opened.tmp" "{WORK}/opened"\n')
        os.chmod(os.path.join(bin_dir, "xdg-open"), 0o755)
        env["PATH"] = bin_dir + os.pathsep + env["PATH"]
    process = subprocess.Popen([STUDIO, *([] if browser else ["--no-browser"]), "--out-dir", "out", *args], cwd=WORK,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    line = process.stdout.readline()
    match = re.fullmatch(r"duostem studio: http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{32,})\n", line)
    if not match:
        process.kill()
        sys.exit(f"unexpected first line {line!r}")
    return process, int(match[1]), match[2]


def prefix_of(port, token):
    """The secret folder every address of the studio lives under, from its start page."""
    page = request(port, "GET", f"/?token={token}")[1].decode()
    return re.search(r'url=(/[0-9a-f]{32}/)"', page)[1]


def exchange(port, data):
    """Sends data on one connection, as far as the studio takes it, and returns
    all it answers until it closes the connection."""
    answer = b""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as raw:
        try:
            raw.sendall(data)
        except OSError:
            pass
        try:
            while chunk := raw.recv(65536):
                answer += chunk
        except OSError:
            pass
    return answer


def opened_page():
    """The stand-in xdg-open's record: its arguments, the page's mode and text."""
    for _ in range(50):
        if os.path.exists(os.path.join(WORK, "opened")):
            break
        time.sleep(0.1)
    return open(os.path.join(WORK, "opened")).read().split("\n", 2)


def slow_clients(port, count):
    """Connections that have sent one byte of a request's head, and wait."""
    sockets = [socket.create_connection(("127.0.0.1", port)) for _ in range(count)]
    for raw in sockets:
        raw.send(b"G")
    return sockets


def resident_mb(pid):
    return int(re.search(r"VmRSS:\s+(\d+) kB", open(f"/proc/{pid}/status").read())[1]) / 1024


def request(port, method, path, headers=None, body=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
    for name, value in {"Host": f"127.0.0.1:{port}", **(headers or {})}.items():
        if value is not None:
            connection.putheader(name, value)
    if body is not None:
        connection.putheader("Content-Length", str(len(body)))
    connection.endheaders(body)
    answer = connection.getresponse()
    data = answer.read()
    connection.close()
    return answer.status, data, answer


def alive(pid):
    """True while pid runs (an unreaped zombie does not count)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def children(pid):
    """Processes whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    return found


def tone_wav(path, seconds, subtype="PCM_16", rate=44100, channels=2):
    t = np.arange(int(rate * seconds)) / rate
    x = 0.3 * np.sin(2 * np.pi * 220 * t) * (1 + np.sin(2 * np.pi * 0.5 * t)) / 2
    sf.write(path, np.stack([x, 0.5 * x][:channels], axis=1), rate, subtype=subtype)


def server_mode():
    for args, status, text in [(["--help"], 0, "usage: duostem-studio"),
                               (["--port", "65536"], 2, "usage: duostem-studio"),
                               (["--threads", "0"], 2, "usage: duostem-studio"),
                               (["--overlap", "0.96"], 2, "usage: duostem-studio"),
                               (["--overlap", "1.5"], 2, "usage: duostem-studio"),
                               (["--max-upload", "-1"], 2, "usage: duostem-studio"),
                               (["--model"], 2, "usage: duostem-studio"),
                               (["--colour"], 2, "unknown argument --colour\nusage: duostem-studio")]:
        run = subprocess.run([STUDIO, *args], capture_output=True, text=True, timeout=30)
        check(run.returncode == status and run.stderr.startswith(text) and run.stdout == "",
              f"{args}: status {run.returncode}, {run.stderr!r}")

    out = os.path.join(WORK, "out")
    os.makedirs(out)
    # A folder a studio elsewhere (another PID namespace) holds, and one nobody holds.
    for name in ["held", "abandoned"]:
        os.makedirs(os.path.join(out, ".duostem-studio-" + name))
        open(os.path.join(out, ".duostem-studio-" + name, "lock"), "w").close()
    held = open(os.path.join(out, ".duostem-studio-held", "lock"))
    fcntl.flock(held, fcntl.LOCK_EX)
    os.symlink("nowhere", os.path.join(out, "dangling_(Vocals).wav"))
    process, port, token = start("--max-upload", "1000", "--model", MODEL, browser=True)
    check(sorted(n for n in os.listdir(out) if n.startswith(".duostem-studio-h") or n.endswith("-abandoned")) ==
          [".duostem-studio-held"], f"scratch folders after the start: {os.listdir(out)}")
    own = f"http://127.0.0.1:{port}"
    cookie = f"duostem-studio-{port}={token}"
    prefix = prefix_of(port, token)
    wav = open(os.path.join(WORK, "small.wav"), "wb")
    tone_wav(wav, 0.005)
    wav.close()
    small = open(os.path.join(WORK, "small.wav"), "rb").read()
    upload = {"Cookie": cookie, "Origin": own}
    cases = [
        ("no token", "GET", "/", {}, None, 403),
        ("wrong token", "GET", "/?token=" + "0" * len(token), {}, None, 403),
        ("token in the query", "GET", f"/?token={token}", {}, None, 200),
        ("localhost", "GET", f"/?token={token}", {"Host": f"localhost:{port}"}, None, 200),
        ("rebound name", "GET", f"/?token={token}", {"Host": f"attacker.example:{port}"}, None, 403),
        ("another port", "GET", f"/?token={token}", {"Host": f"127.0.0.1:{port + 1}"}, None, 403),
        ("no port", "GET", f"/?token={token}", {"Host": "127.0.0.1"}, None, 403),
        ("cookie", "GET", prefix + "api/state", {"Cookie": cookie}, None, 200),
        ("cookie outside the prefix", "GET", "/api/state", {"Cookie": cookie}, None, 403),
        ("prefix without the cookie", "GET", prefix + "api/state", {}, None, 403),
        ("token in the query inside", "GET", prefix + f"api/state?token={token}", {}, None, 403),
        ("a forged cookie of the same name first", "GET", prefix + "api/state",
         {"Cookie": f"duostem-studio-{port}=forged; {cookie}"}, None, 200),
        ("another studio's cookie", "GET", prefix + "api/state", {"Cookie": f"duostem-studio-1={token}"}, None, 403),
        ("upload without Origin", "POST", prefix + "api/songs?name=a.wav", {"Cookie": cookie}, small, 403),
        ("upload from elsewhere", "POST", prefix + "api/songs?name=a.wav",
         {"Cookie": cookie, "Origin": "http://evil.example"}, small, 403),
        ("upload over the limit", "POST", prefix + "api/songs?name=a.wav", upload, small + small, 413),
        ("upload without a length", "POST", prefix + "api/songs?name=a.wav",
         {**upload, "Transfer-Encoding": "chunked"}, None, 400),
        ("multipart upload", "POST", prefix + "api/songs?name=a.wav",
         {**upload, "Content-Type": "multipart/form-data; boundary=x"},
         b"--x\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.wav\"\r\n\r\n" + small[:100] +
         b"\r\n--x--\r\n", 415),
        ("a body where none belongs", "POST", prefix + "api/songs/1/cancel", upload, b"x" * 70000, 413),
        ("cancel of no song", "POST", prefix + "api/songs/99/cancel", upload, b"", 404),
        ("stem of no song", "GET", prefix + "api/songs/99/vocals", {"Cookie": cookie}, None, 404),
        ("upload", "POST", prefix + "api/songs?name=..%2F..%2Fescape.wav", upload, small[:1000], 200),
        ("a name read as an option", "POST", prefix + "api/songs?name=-intro.wav", upload, small[:1000], 200),
        ("a backslash", "POST", prefix + "api/songs?name=AC%5CDC%20-%20Back.wav", upload, small[:1000], 200),
        ("a dangling link named like a stem", "POST", prefix + "api/songs?name=dangling.wav", upload, small[:1000],
         200),
    ]
    for what, method, path, headers, body, status in cases:
        got = request(port, method, path, headers, body)[0]
        check(got == status, f"{what}: status {got}, not {status}")

    # Attacks by another program on this machine: what it sends on one
    # connection, the one answer it must get, then the connection's end.
    head = f"GET {prefix}api/state HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nCookie: {cookie}\r\n".encode()
    smuggled = head + b"\r\n"
    post = f"POST {prefix}api/songs/1/cancel HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n".encode()
    attacks = [
        (1, "64 MiB without a newline", b"GET /" + b"a" * (64 << 20), b"431"),
        (1, "100,000 headers", head + b"X-A: b\r\n" * 100000 + b"\r\n", b"400"),
        (1, "a header line of 40 KiB", head + b"X-A: " + b"b" * 40960 + b"\r\n\r\n", b"400"),
        (2, "a refused request's body is a request",
         post + f"Content-Length: {len(smuggled)}\r\n\r\n".encode() + smuggled, b"403"),
        (2, "a body over the limit is a request",
         post + f"Cookie: {cookie}\r\nOrigin: {own}\r\nContent-Length: 70000\r\n\r\n".encode() + smuggled * 600,
         b"413"),
        (2, "a refused HEAD's body is a request",
         f"HEAD / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Length: {len(smuggled)}\r\n\r\n".encode() +
         smuggled, b"403"),
        (2, "an unparsable request line, then a request", b"NOT A REQUEST\r\n\r\n" + smuggled, b"400"),
    ]
    for item, what, data, status in attacks:
        before = resident_mb(process.pid)
        answer = exchange(port, data)
        after = resident_mb(process.pid)
        if item == 1:
            print(f"{what}: studio resident {before:.1f} MB before, {after:.1f} MB after")
        check(answer.startswith(b"HTTP/1.1 " + status) and answer.count(b"HTTP/1.1") == 1 and after - before < 64,
              f"{what}: answered {answer[:200]!r}, resident {before:.1f} MB, then {after:.1f} MB")

    # Slow clients take no worker the page needs.
    slow = slow_clients(port, 16)
    started = time.monotonic()
    status = request(port, "GET", prefix + "api/state", {"Cookie": cookie})[0]
    took = time.monotonic() - started
    print(f"an authorised request with 16 slow connections open: {took * 1000:.0f} ms")
    check(status == 200 and took < 5, f"with 16 slow connections: status {status} after {took:.1f} s")

    status, page, answer = request(port, "GET", f"/?token={token}")
    check(status == 200 and prefix.encode() in page, "the server no longer answers after the attacks")
    check(re.fullmatch(f"duostem-studio-{port}={token}; Path={prefix}; SameSite=Strict; HttpOnly",
                       answer.getheader("Set-Cookie") or ""), f"cookie {answer.getheader('Set-Cookie')!r}")
    # The token reaches the browser through a file only the user reads, never through arguments.
    opened = opened_page()
    check(token not in opened[0] and opened[1] == "600" and f'url={own}/?token={token}"' in opened[2],
          f"the browser was opened with {opened}")
    for _ in range(300):
        state = request(port, "GET", prefix + "api/state", {"Cookie": cookie})[1].decode()
        if '"state":"waiting"' not in state and '"state":"separating"' not in state:
            break
        time.sleep(0.1)
    # The browser's name loses its folders, starts no option and keeps its backslash;
    # no stem replaces the dangling link.
    stored = sorted(n for n in os.listdir(out) if not n.startswith("."))
    check(stored == ["-intro_(Instrumental).wav", "-intro_(Vocals).wav", "AC\\DC - Back_(Instrumental).wav",
                     "AC\\DC - Back_(Vocals).wav", "dangling (2)_(Instrumental).wav", "dangling (2)_(Vocals).wav",
                     "dangling_(Vocals).wav", "escape_(Instrumental).wav", "escape_(Vocals).wav"] and
          os.path.islink(os.path.join(out, "dangling_(Vocals).wav")), f"output folder after the uploads: {stored}")
    scratch = [n for n in os.listdir(out) if n.startswith(".duostem-studio-") and n != ".duostem-studio-held"]
    check(len(scratch) == 1 and os.listdir(os.path.join(out, scratch[0])) == ["lock"],
          f"the refused uploads left files behind: {scratch}")
    process.send_signal(signal.SIGTERM)
    check(process.wait(30) == 0, "TERM: status not 0")
    check(not os.path.exists(opened[0]), "the forwarding page outlived the studio")
    check(os.path.isdir(os.path.join(out, ".duostem-studio-held")), "a held scratch folder was removed")
    held.close()

    # Port 80 where this machine lets the test have it: the browser sends no port.
    process = subprocess.Popen([STUDIO, "--no-browser", "--port", "80", "--out-dir", "out"], cwd=WORK,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = process.stdout.readline()
    if line.startswith("duostem studio: http://127.0.0.1:80/?token="):
        status = request(80, "GET", "/?token=" + line.strip().rsplit("=", 1)[1], {"Host": "127.0.0.1"})[0]
        check(status == 200, f"port 80 with a Host without port: {status}")
    process.send_signal(signal.SIGTERM)
    process.wait(30)

    # Ctrl-C in the middle of a song: duostem ended, scratch folder gone, status 0.
    shutil.rmtree(os.path.join(WORK, "out"))
    long_song = os.path.join(WORK, "long.wav")
    tone_wav(long_song, 240)
    process, port, token = start("--model", MODEL)
    cookie = f"duostem-studio-{port}={token}"
    prefix = prefix_of(port, token)
    status = request(port, "POST", prefix + "api/songs?name=long.wav",
                     {"Cookie": cookie, "Origin": f"http://127.0.0.1:{port}"}, open(long_song, "rb").read())[0]
    check(status == 200, f"upload of the long song: {status}")
    running = []
    for _ in range(300):
        state = request(port, "GET", prefix + "api/state", {"Cookie": cookie})[1].decode()
        running = children(process.pid)
        if re.search(r'"progress":0\.0*[1-9]', state) and running:
            break
        time.sleep(0.1)
    check(running, "duostem never reported progress")
    # duostem holds none of the studio's sockets.
    inherited = [os.readlink(f"/proc/{pid}/fd/{fd}") for pid in running for fd in os.listdir(f"/proc/{pid}/fd")]
    check(not any(link.startswith("socket:") for link in inherited), f"duostem's descriptors: {inherited}")
    # A slow client holds no stop.
    slow = slow_clients(port, 1)
    time.sleep(1)
    started = time.monotonic()
    process.send_signal(signal.SIGINT)
    status = process.wait(30)
    took = time.monotonic() - started
    print(f"Ctrl-C to exit with a slow connection open: {took * 1000:.0f} ms")
    check(status == 0 and took < 10, f"Ctrl-C: status {status} after {took:.1f} s")
    check(not any(alive(pid) for pid in running), "duostem still runs after Ctrl-C")
    check(os.listdir(os.path.join(WORK, "out")) == [], f"left after Ctrl-C: {os.listdir(os.path.join(WORK, 'out'))}")

    # Killed outright: duostem ends with it, and the next studio removes the scratch folder.
    process, port, token = start("--model", MODEL)
    request(port, "POST", prefix_of(port, token) + "api/songs?name=long.wav",
            {"Cookie": f"duostem-studio-{port}={token}", "Origin": f"http://127.0.0.1:{port}"},
            open(long_song, "rb").read())
    for _ in range(100):
        running = children(process.pid)
        if running:
            break
        time.sleep(0.1)
    process.kill()
    process.wait(30)
    # duostem ends at its next chunk, or once its network has loaded.
    for _ in range(100):
        if not any(alive(pid) for pid in running):
            break
        time.sleep(0.1)
    check(running and not any(alive(pid) for pid in running), "duostem outlived a killed studio")
    abandoned = os.listdir(os.path.join(WORK, "out"))
    process, port, token = start()
    left = [name for name in os.listdir(os.path.join(WORK, "out")) if name in abandoned]
    check(abandoned and not left, f"the next studio left the abandoned scratch folder: {abandoned} {left}")
    process.send_signal(signal.SIGTERM)
    process.wait(30)


def browser():
    from selenium import webdriver
    options = webdriver.ChromeOptions()
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1100,1250"]:
        options.add_argument(argument)
    return webdriver.Chrome(options=options)


def figures_mode():
    import json
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    tone_wav(os.path.join(WORK, "source.wav"), 240)
    mp3 = os.path.join(WORK, "four minutes.mp3")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", os.path.join(WORK, "source.wav"), "-b:a", "192k", mp3], check=True)
    process, port, token = start("--model", MODEL)
    driver = browser()
    try:
        driver.get(f"http://127.0.0.1:{port}/?token={token}")
        WebDriverWait(driver, 30).until(lambda d: d.find_elements(By.ID, "files"))
        started = time.monotonic()
        driver.find_element(By.ID, "files").send_keys(mp3)
        WebDriverWait(driver, 900).until(lambda d: d.find_element(By.CSS_SELECTOR, ".song").get_attribute("data-times"))
        total = time.monotonic() - started
        times = json.loads(driver.find_element(By.CSS_SELECTOR, ".song").get_attribute("data-times"))
        server_peak = re.search(r"VmHWM:\s+(\d+) kB", open(f"/proc/{process.pid}/status").read())[1]
    finally:
        driver.quit()
        process.send_signal(signal.SIGTERM)
        process.wait(30)
    stems = os.path.join(WORK, "out")
    mix = [f for f in os.listdir(stems) if f.endswith("(Vocals).wav")][0]
    # duostem alone on a song of the same length, as the studio runs it.
    own = subprocess.run(["/usr/bin/time", "-f", "%M", DUOSTEM, os.path.join(WORK, "source.wav"), "--model", MODEL,
                          "--out-dir", os.path.join(WORK, "alone")], capture_output=True, text=True)
    print(f"drop to players ready {total:.1f} s: decoding {times['decoding'] / 1000:.1f} s, upload "
          f"{times['upload'] / 1000:.1f} s, separation {times['separation'] / 1000:.1f} s, "
          f"players {times['players'] / 1000:.1f} s; server peak {int(server_peak) // 1024} MB, "
          f"duostem peak {int(own.stderr.split()[-1]) // 1024} MB; stems {mix}")


def neighbour(port):
    """Another web server on 127.0.0.1, serving a page that sets cookies named
    like the studio's; it keeps the Cookie headers it receives."""
    import http.server

    class Page(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            server.cookies.append(self.headers.get("Cookie") or "")
            prefix = self.path.partition("prefix=")[2]
            page = ("<script>for (const path of ['/', '" + prefix + "api', '" + prefix + "studio.js'])"
                    f" document.cookie = 'duostem-studio-{port}=forged; Path=' + path;</script>").encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(page)))
            self.end_headers()
            self.wfile.write(page)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
    server.cookies = []
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def browser_mode():
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    songs = os.path.join(WORK, "songs")
    os.makedirs(songs)
    accepted = os.path.join(songs, "accepted.wav")
    tone_wav(accepted, 20)
    tone_wav(os.path.join(WORK, "mp3-source.wav"), 9, rate=48000, channels=1)
    mp3 = os.path.join(songs, "mono 48k.mp3")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", os.path.join(WORK, "mp3-source.wav"), "-b:a", "128k", mp3],
                   check=True)
    refused = os.path.join(songs, "refused.wav")
    with open(refused, "wb") as out:  # a data chunk announcing more than the file holds
        out.write(open(accepted, "rb").read()[:44 + 4000])
    cancelled = os.path.join(songs, "cancelled.wav")
    tone_wav(cancelled, 240)

    process, port, token = start("--model", MODEL, "--overlap", ".75", browser=True)
    other = neighbour(port)
    driver = browser()
    try:
        driver.get("file://" + opened_page()[0])
        WebDriverWait(driver, 30).until(lambda d: d.find_elements(By.ID, "files"))
        studio_page = driver.current_url
        prefix = "/" + studio_page.split("/", 3)[3]
        # Another server on this host: it never hears the studio's cookie, and the
        # cookies of the same name its page sets (here with the secret path
        # known) lock nobody out.
        driver.get(f"http://127.0.0.1:{other.server_port}/?prefix={prefix}")
        WebDriverWait(driver, 30).until(lambda d: "forged" in d.execute_script("return document.cookie"))
        driver.get(studio_page)
        WebDriverWait(driver, 30).until(lambda d: d.find_element(By.ID, "out-dir").text != "…")
        WebDriverWait(driver, 10).until(lambda d: d.find_element(By.ID, "overlap").text == ".75")
        check(other.cookies and not any(token in c for c in other.cookies),
              f"the other server heard {other.cookies}")
        upload = driver.find_element(By.ID, "files")
        upload.send_keys("\n".join([mp3, accepted, refused]))
        rows = lambda: driver.find_elements(By.CSS_SELECTOR, "#queue .song")
        finished = lambda d: len(rows()) == 3 and all(r.get_attribute("class").split()[1] in ("done", "failed")
                                                      for r in rows())
        WebDriverWait(driver, 300).until(finished)
        WebDriverWait(driver, 60).until(lambda d: all(len(r.find_elements(By.CSS_SELECTOR, ".track[data-duration]")) == 3
                                                      for r in rows()[:2]))
        states = [r.get_attribute("class") for r in rows()]
        check(states == ["song done", "song done", "song failed"], f"states {states}")

        out = os.path.join(WORK, "out")
        reference = os.path.join(WORK, "reference")
        subprocess.run([DUOSTEM, accepted, "--model", MODEL, "--out-dir", reference, "--overlap", ".75"],
                       check=True, capture_output=True)
        for stem in ["Vocals", "Instrumental"]:
            check(open(os.path.join(out, f"accepted_({stem}).wav"), "rb").read() ==
                  open(os.path.join(reference, f"accepted_({stem}).wav"), "rb").read(),
                  f"the accepted WAV's {stem} differ from duostem's own run")

        # The MP3 went up as the browser's 44.1 kHz float rendering; its stems add up to it.
        blob = driver.execute_async_script(
            "const done = arguments[0];"
            "fetch(document.querySelector('#queue .song .track[data-stem=mix] a').href)"
            ".then(r => r.arrayBuffer()).then(b => { let s = ''; const u = new Uint8Array(b);"
            "for (let i = 0; i < u.length; i += 8192) s += String.fromCharCode(...u.subarray(i, i + 8192));"
            "done(btoa(s)); });")
        mix_path = os.path.join(WORK, "mix.wav")
        open(mix_path, "wb").write(base64.b64decode(blob))
        mix, rate = sf.read(mix_path, dtype="float32")
        info = sf.info(mix_path)
        vocals, _ = sf.read(os.path.join(out, "mono 48k_(Vocals).wav"), dtype="float32")
        instrumental, _ = sf.read(os.path.join(out, "mono 48k_(Instrumental).wav"), dtype="float32")
        check(rate == 44100 and info.subtype == "FLOAT" and mix.shape[1] == 2 and abs(len(mix) / 44100 - 9) < 0.1,
              f"uploaded MP3: {rate} Hz, {info.subtype}, {mix.shape}")
        check(vocals.shape == mix.shape and np.max(np.abs(vocals + instrumental - mix)) < 1e-6,
              "the MP3's stems do not add up to the uploaded song")

        for row, frames in zip(rows()[:2], [len(mix), 20 * 44100]):
            durations = [float(t.get_attribute("data-duration")) for t in row.find_elements(By.CSS_SELECTOR, ".track")]
            check(all(abs(d - frames / 44100) < 0.01 for d in durations), f"player durations {durations}")
            for link in row.find_elements(By.CSS_SELECTOR, ".track a.download")[1:]:
                path = link.get_attribute("href").split(str(port), 1)[1]
                check(path.startswith(prefix), f"a download outside the secret folder: {path}")
                status, body, _ = request(port, "GET", path, {"Cookie": f"duostem-studio-{port}={token}"})
                check(status == 200 and body == open(os.path.join(out, link.get_attribute("download")), "rb").read(),
                      f"download {path} is not the stored file")

        own = subprocess.run([DUOSTEM, "refused.wav", "--model", MODEL, "--out-dir", reference], cwd=songs,
                             capture_output=True, text=True)
        message = rows()[2].find_element(By.CSS_SELECTOR, ".message").text
        check(own.returncode == 1 and message == own.stderr.strip(), f"refused song shows {message!r}, not {own.stderr!r}")

        driver.find_element(By.CSS_SELECTOR, ".track .play").click()
        driver.save_screenshot(os.path.join(WORK, "studio.png"))

        upload.send_keys(cancelled)
        WebDriverWait(driver, 120).until(lambda d: rows()[3].find_element(By.CSS_SELECTOR, ".state").text == "separating")
        rows()[3].find_element(By.CSS_SELECTOR, ".cancel").click()
        WebDriverWait(driver, 30).until(lambda d: rows()[3].get_attribute("class") == "song cancelled")
        time.sleep(0.5)
        check(children(process.pid) == [], "duostem still runs after cancelling")
        check(not any(name.startswith("cancelled") for name in os.listdir(out)), "the cancelled song left stems")
    finally:
        driver.quit()
        process.send_signal(signal.SIGTERM)
        check(process.wait(30) == 0, "TERM: status not 0")


def screenshot_mode():
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    song = os.path.join(WORK, "demo_song.wav")
    tools = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
    subprocess.run(["/usr/bin/python3", os.path.join(tools, "make_demo_song.py"), "--seed", "1", "--out", song],
                   check=True, capture_output=True)
    home, build = "/home/you", os.path.dirname(STUDIO)
    install = (f"mount -t tmpfs tmpfs /home && mkdir -p {home}/duostem/models {home}/Music && "
               f"cp '{STUDIO}' '{DUOSTEM}' '{build}/libonnxruntime.so.1' {home}/duostem/ && "
               f"cp '{MODEL}' {home}/duostem/models/vocals.onnx && cd {home}/Music && "
               f"exec {home}/duostem/duostem-studio --no-browser")
    process = subprocess.Popen(["unshare", "-m", "--propagation", "private", "sh", "-c", install],
                               stdout=subprocess.PIPE, text=True)
    url = process.stdout.readline().split(": ", 1)[1].strip()
    driver = browser()
    try:
        driver.get(url)
        WebDriverWait(driver, 30).until(lambda d: d.find_elements(By.ID, "files"))
        driver.find_element(By.ID, "files").send_keys(song)
        WebDriverWait(driver, 300).until(lambda d: len(d.find_elements(By.CSS_SELECTOR, ".track[data-duration]")) == 3)
        driver.find_element(By.CSS_SELECTOR, ".track[data-stem=vocals] .play").click()
        time.sleep(2)
        driver.set_window_size(1100, 680)
        driver.save_screenshot(os.path.join(WORK, "studio.png"))
    finally:
        driver.quit()
        process.send_signal(signal.SIGTERM)
        process.wait(30)
    print(os.path.join(WORK, "studio.png"))


shutil.rmtree(WORK, ignore_errors=True)
os.makedirs(WORK)
{"server": server_mode, "browser": browser_mode, "figures": figures_mode, "screenshot": screenshot_mode}[MODE]()
for error in errors:
    print("FAIL:", error)
sys.exit(1 if errors else 0)
