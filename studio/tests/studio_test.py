#!/usr/bin/python3
"""duostem-studio run for real.
  server:  who gets in (token, cookie, Host, Origin, upload size, malformed
           requests), usage errors, and an interrupt in the middle of a song.
  browser: headless Chromium drops an MP3, an accepted WAV and a WAV duostem
           refuses, then cancels a song; stems, players, downloads, screenshot.

  figures: not a test; a 4-minute MP3 through the page, printing the time of
           each step and the server's and duostem's peak memory.

usage: studio_test.py server|browser|figures STUDIO MODEL WORK_DIR"""
import base64
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import soundfile as sf

MODE, STUDIO, MODEL, WORK = sys.argv[1], *(os.path.abspath(a) for a in sys.argv[2:5])
DUOSTEM = os.path.join(os.path.dirname(STUDIO), "duostem")
errors = []


def check(ok, what):
    if not ok:
        errors.append(what)


def start(*args):
    """Starts the studio in WORK; returns the process, its port and its token."""
    process = subprocess.Popen([STUDIO, "--no-browser", "--out-dir", "out", *args], cwd=WORK,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    match = re.fullmatch(r"duostem studio: http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{32,})\n", line)
    if not match:
        process.kill()
        sys.exit(f"unexpected first line {line!r}")
    return process, int(match[1]), match[2]


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

    process, port, token = start("--max-upload", "1000", "--model", MODEL)
    own = f"http://127.0.0.1:{port}"
    cookie = f"duostem-studio-{port}={token}"
    wav = open(os.path.join(WORK, "small.wav"), "wb")
    tone_wav(wav, 0.005)
    wav.close()
    small = open(os.path.join(WORK, "small.wav"), "rb").read()
    cases = [
        ("no token", "GET", "/", {}, None, 403),
        ("wrong token", "GET", "/?token=" + "0" * len(token), {}, None, 403),
        ("token in the query", "GET", f"/?token={token}", {}, None, 200),
        ("localhost", "GET", f"/?token={token}", {"Host": f"localhost:{port}"}, None, 200),
        ("rebound name", "GET", f"/?token={token}", {"Host": f"attacker.example:{port}"}, None, 403),
        ("another port", "GET", f"/?token={token}", {"Host": f"127.0.0.1:{port + 1}"}, None, 403),
        ("cookie", "GET", "/api/state", {"Cookie": cookie}, None, 200),
        ("another studio's cookie", "GET", "/api/state", {"Cookie": f"duostem-studio-1={token}"}, None, 403),
        ("upload without Origin", "POST", "/api/songs?name=a.wav", {"Cookie": cookie}, small, 403),
        ("upload from elsewhere", "POST", "/api/songs?name=a.wav", {"Cookie": cookie, "Origin": "http://evil.example"},
         small, 403),
        ("upload over the limit", "POST", "/api/songs?name=a.wav", {"Cookie": cookie, "Origin": own}, small + small, 413),
        ("upload without a length", "POST", "/api/songs?name=a.wav", {"Cookie": cookie, "Origin": own,
                                                                       "Transfer-Encoding": "chunked"}, None, 400),
        ("a body where none belongs", "POST", "/api/songs/1/cancel", {"Cookie": cookie, "Origin": own}, b"x" * 70000,
         413),
        ("cancel of no song", "POST", "/api/songs/99/cancel", {"Cookie": cookie, "Origin": own}, b"", 404),
        ("stem of no song", "GET", "/api/songs/99/vocals", {"Cookie": cookie}, None, 404),
        ("upload", "POST", "/api/songs?name=..%2F..%2Fescape.wav", {"Cookie": cookie, "Origin": own}, small[:1000], 200),
    ]
    for what, method, path, headers, body, status in cases:
        got = request(port, method, path, headers, body)[0]
        check(got == status, f"{what}: status {got}, not {status}")
    with socket.create_connection(("127.0.0.1", port)) as raw:
        raw.sendall(b"NOT A REQUEST\r\n\r\n")
        check(raw.recv(100).startswith(b"HTTP/1.1 400"), "a malformed request line is not answered 400")
    status, page, answer = request(port, "GET", f"/?token={token}")
    check(status == 200 and b"duostem studio" in page, "the server no longer answers after the refusals")
    check(re.fullmatch(f"duostem-studio-{port}={token}; Path=/; SameSite=Strict; HttpOnly",
                       answer.getheader("Set-Cookie") or ""), f"cookie {answer.getheader('Set-Cookie')!r}")
    for _ in range(100):
        state = request(port, "GET", "/api/state", {"Cookie": cookie})[1].decode()
        if '"state":"waiting"' not in state and '"state":"separating"' not in state:
            break
        time.sleep(0.1)
    # The browser's name loses its folders: the stems land in the output folder.
    stored = sorted(os.listdir(os.path.join(WORK, "out")))
    check(stored[1:] == ["escape_(Instrumental).wav", "escape_(Vocals).wav"] and stored[0].startswith(".duostem-studio-"),
          f"output folder after the uploads: {stored}")
    check(os.listdir(os.path.join(WORK, "out", stored[0])) == [], "the refused uploads left files behind")
    process.send_signal(signal.SIGTERM)
    check(process.wait(30) == 0, "TERM: status not 0")

    # Ctrl-C in the middle of a song: duostem ended, scratch folder gone, status 0.
    shutil.rmtree(os.path.join(WORK, "out"))
    long_song = os.path.join(WORK, "long.wav")
    tone_wav(long_song, 240)
    process, port, token = start("--model", MODEL)
    cookie = f"duostem-studio-{port}={token}"
    status = request(port, "POST", "/api/songs?name=long.wav", {"Cookie": cookie, "Origin": f"http://127.0.0.1:{port}"},
                     open(long_song, "rb").read())[0]
    check(status == 200, f"upload of the long song: {status}")
    running = []
    for _ in range(300):
        state = request(port, "GET", "/api/state", {"Cookie": cookie})[1].decode()
        running = children(process.pid)
        if re.search(r'"progress":0\.0*[1-9]', state) and running:
            break
        time.sleep(0.1)
    check(running, "duostem never reported progress")
    process.send_signal(signal.SIGINT)
    check(process.wait(30) == 0, "Ctrl-C: status not 0")
    check(not any(alive(pid) for pid in running), "duostem still runs after Ctrl-C")
    check(os.listdir(os.path.join(WORK, "out")) == [], f"left after Ctrl-C: {os.listdir(os.path.join(WORK, 'out'))}")

    # Killed outright: duostem ends with it, and the next studio removes the scratch folder.
    process, port, token = start("--model", MODEL)
    request(port, "POST", "/api/songs?name=long.wav", {"Cookie": f"duostem-studio-{port}={token}",
                                                       "Origin": f"http://127.0.0.1:{port}"}, open(long_song, "rb").read())
    for _ in range(100):
        running = children(process.pid)
        if running:
            break
        time.sleep(0.1)
    process.kill()
    process.wait(30)
    time.sleep(0.5)
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

    process, port, token = start("--model", MODEL, "--overlap", ".75")
    driver = browser()
    try:
        driver.get(f"http://127.0.0.1:{port}/?token={token}")
        WebDriverWait(driver, 10).until(lambda d: d.find_element(By.ID, "overlap").text == ".75")
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


shutil.rmtree(WORK, ignore_errors=True)
os.makedirs(WORK)
{"server": server_mode, "browser": browser_mode, "figures": figures_mode}[MODE]()
for error in errors:
    print("FAIL:", error)
sys.exit(1 if errors else 0)
