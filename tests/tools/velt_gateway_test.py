"""velt-gateway end to end: a simulated desaturation published by velt-process
--publish --pace through a real mosquitto, forwarded to an MLLP engine in this test that
parses every message with Debian's python3-hl7. The engine first refuses (AR), then
closes the connection in the middle of a message, finds fault with one (AE), then goes
away for a minute while messages queue on disk; the gateway is stopped meanwhile while
an alarm starts and ends (its broker session keeps them), and later meets a restart of
the broker: every message arrives, none that was acknowledged twice."""
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

import atexit
import datetime

import hl7

BIN = sys.argv[1]
tmp = tempfile.mkdtemp(prefix="velt-gateway-test.")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Engine(threading.Thread):
    """An interface engine: acknowledges each message with AA once its behaviour for
    the next messages (a list of "AR", "cut") is used up."""

    def __init__(self, port, script=(), tls=None):
        super().__init__(daemon=True)
        self.tls = tls
        self.script = list(script)
        self.acked = []  # (control id, parsed message)
        self.server = socket.create_server(("127.0.0.1", port), reuse_port=False)
        self.server.settimeout(0.2)
        self.running = True
        self.start()

    def stop(self):
        self.running = False
        self.join()
        self.server.close()

    def run(self):
        while self.running:
            try:
                conn, _ = self.server.accept()
            except socket.timeout:
                continue
            if self.tls:
                conn.settimeout(5)
                try:
                    conn = self.tls.wrap_socket(conn, server_side=True)
                except (ssl.SSLError, OSError):
                    conn.close()
                    continue
            with conn:
                conn.settimeout(0.2)
                buf = b""
                while self.running:
                    try:
                        data = conn.recv(65536)
                    except socket.timeout:
                        continue
                    if not data:
                        break
                    buf += data
                    if b"\x1c\r" not in buf:
                        continue
                    frame, buf = buf.split(b"\x1c\r", 1)
                    assert frame.startswith(b"\x0b"), frame
                    msg = hl7.parse(frame[1:].decode())
                    cid = str(msg.segment("MSH")[10])
                    what = self.script[0] if self.script else "AA"
                    if what == "AE" and str(msg.segment("MSH")[9]) != "ORU^R01^ORU_R01":
                        what = "AA"  # the fault is found in an observation report
                    elif self.script:
                        self.script.pop(0)
                    if what == "cut":
                        conn.sendall(b"\x0bMSH|^~\\&|ENGINE|||||")  # and no more
                        break
                    conn.sendall(b"\x0bMSH|^~\\&|ENGINE||||||ACK^R01|1|P|2.6\rMSA|%s|%s|%s\x1c\r" % (
                        what.encode(), cid.encode(), {"AR": b"busy", "AE": b"no such bed"}.get(what, b"")))
                    if what == "AA":
                        self.acked.append((cid, msg))
                    elif what == "AE":
                        self.faulty = cid


broker_port, mllp_port = free_port(), free_port()
conf = os.path.join(tmp, "mosquitto.conf")
with open(conf, "w") as f:
    f.write(f"listener {broker_port} 127.0.0.1\nallow_anonymous true\n")
broker = subprocess.Popen(["mosquitto", "-c", conf], stderr=subprocess.DEVNULL)
children = [broker]
atexit.register(lambda: [c.kill() for c in children if c.poll() is None])
scenario = os.path.join(tmp, "desat.scn")
with open(scenario, "w") as f:
    f.write("0 spo2=97 bpm=70\n2 spo2=84 bpm=95 ramp=1\n10 spo2=97 bpm=70\n")
stream = os.path.join(tmp, "stream.bin")
subprocess.run([f"{BIN}/oximeter-sim", "--scenario", scenario, "--output", stream,
                "--seconds", "22"], check=True, capture_output=True)
queue = os.path.join(tmp, "queue")
log = open(os.path.join(tmp, "gateway.log"), "w+")


def gateway(*extra):
    children.append(subprocess.Popen(
        [f"{BIN}/velt-gateway", "--broker", f"mqtt://127.0.0.1:{broker_port}", "--mllp",
         f"127.0.0.1:{mllp_port}", "--interval", "1", "--facility", "Ward 3", "--queue", queue,
         "--max-backoff", "1", *extra], stderr=log))
    return children[-1]


time.sleep(0.5)
engine = Engine(mllp_port, ["AR", "cut", "AA", "AE"])
gw = gateway()
time.sleep(1)
monitor = subprocess.Popen([f"{BIN}/velt-process", "--publish", f"mqtt://127.0.0.1:{broker_port}",
                            "--monitor", "bed-1", "--pace", stream], stderr=subprocess.DEVNULL)
children.append(monitor)
time.sleep(4)
first_engine = engine
engine.stop()  # the engine goes away for a minute; the gateway queues
away = time.monotonic()
time.sleep(3)
gw.send_signal(signal.SIGTERM)
assert gw.wait(10) == 0
waiting = {str(hl7.parse(open(os.path.join(queue, f)).read()).segment("MSH")[10])
           for f in os.listdir(queue)}
assert waiting, "nothing queued while the engine was away"
time.sleep(7)  # the desaturation alarm starts (8 s) and ends (10 s) while it is stopped
restarted = time.time()
gw = gateway()
time.sleep(away + 60 - time.monotonic())
engine = Engine(mllp_port)
time.sleep(4)  # the back-off is at most 1 s
assert os.listdir(queue) == [], "not delivered after the engine's outage"
restart_log = log.tell()
broker.terminate()
broker.wait()
broker = subprocess.Popen(["mosquitto", "-c", conf], stderr=subprocess.DEVNULL)
children.append(broker)
monitor = subprocess.Popen([f"{BIN}/velt-process", "--publish", f"mqtt://127.0.0.1:{broker_port}",
                            "--monitor", "bed-2", "--pace", stream], stderr=subprocess.DEVNULL)
children.append(monitor)
time.sleep(6)
gw.send_signal(signal.SIGTERM)
assert gw.wait(10) == 0
engine.stop()
log.seek(restart_log)
assert "away; waiting for it" in log.read().split("connected (new session")[0]
assert any(str(m.segment("PV1")[3][0][2]) == "bed-2" for _, m in engine.acked)
log.seek(0)
text = log.read()
assert "connected (session kept: what came meanwhile follows)" in text, text

# MLLP over TLS: refused with a CA that did not sign the engine's certificate, then
# delivered (what waited included) with the one that did.
pem = {}
for name in ("engine", "other"):
    pem[name] = [os.path.join(tmp, f"{name}.{x}") for x in ("crt", "key")]
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=engine", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-out", pem[name][0], "-keyout", pem[name][1]], check=True,
                   capture_output=True)
tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
tls.load_cert_chain(*pem["engine"])
tls_engine = Engine(mllp_port, tls=tls)
tls_log_start = log.tell()
gw = gateway("--mllp-ca-file", pem["other"][0])
time.sleep(4)
gw.send_signal(signal.SIGTERM)
assert gw.wait(10) == 0 and not tls_engine.acked
gw = gateway("--mllp-ca-file", pem["engine"][0])
time.sleep(3)
gw.send_signal(signal.SIGTERM)
assert gw.wait(10) == 0
monitor.kill()
tls_engine.stop()
broker.terminate()
broker.wait()
log.seek(tls_log_start)
tls_text = log.read()
assert "TLS handshake failed: self-signed certificate" in tls_text, tls_text
assert "connected (TLS)" in tls_text, tls_text
assert len(tls_engine.acked) >= 4, tls_text

acked = first_engine.acked + engine.acked
ids = [cid for cid, _ in acked]
assert len(ids) == len(set(ids)), "a message acknowledged twice"
assert os.listdir(queue) == [], os.listdir(queue)
oru = [m for _, m in acked if str(m.segment("MSH")[9]) == "ORU^R01^ORU_R01"]
r40 = [m for _, m in acked if str(m.segment("MSH")[9]) == "ORU^R40^ORU_R40"]
assert waiting <= set(ids), "a message queued over the restart was lost"
# One report a second while the monitor published (22 s), the engine's outage
# included; the seconds while the gateway itself is stopped are not seen.
assert len(oru) >= 10, (len(oru), text)
times = sorted(str(m.segment("OBR")[7]) for m in oru)
assert len(set(times)) == len(times), times
spo2 = [str(s[5]) for m in oru for s in m.segments("OBX") if str(s[3][0][0]) == "150456"]
assert "97" in spo2 and any(v and float(v) < 90 for v in spo2), spo2
starts = [m for m in r40 if any(str(s[3][0][0]) == "68481" and str(s[5]) == "start"
                                 for s in m.segments("OBX"))]
assert starts and str(starts[0].segment("OBX")[5][0][1]) == "MDC_EVT_LO", r40
bed1 = [m for m in r40 if str(m.segment("OBR")[3]).startswith("bed-1/")]
phases = sorted(str(s[5]) for m in bed1 for s in m.segments("OBX") if str(s[3][0][0]) == "68481")
assert phases == ["end", "start"], phases
made = [datetime.datetime.strptime(str(m.segment("MSH")[7])[:14] + "+0000", "%Y%m%d%H%M%S%z")
        for m in bed1]
assert min(made).timestamp() >= int(restarted), "the alarm came before the gateway stopped"
assert "AR for" in text and "sending it again" in text, text
assert "connection closed before the acknowledgement" in text, text
faulty = first_engine.faulty
assert f"AE for {faulty}: no such bed; message dropped" in text, text
assert faulty not in ids
assert "messages from before" in text, text
shutil.rmtree(tmp)
print("ok:", len(oru), "observation reports,", len(r40), "alarm reports")
