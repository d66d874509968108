"""The gateway's messages as Debian's python3-hl7 reads them: an ORU^R01 with a value
not shown, an ORU^R40 for a limit alarm and one for a technical alarm's acknowledgement,
with separators in the names and texts."""
import subprocess
import sys

import hl7

out = subprocess.run([sys.argv[1]], check=True, capture_output=True).stdout.decode()
frames = [f for f in out.split("\x0b") if f]
assert len(frames) == 3 and all(f.endswith("\x1c\r") for f in frames), frames
oru, start, ack = (hl7.parse(f[:-2]) for f in frames)


def field(msg, name):
    seg, n = name.split(".")
    return str(msg.segment(seg)[int(n)])


def obx(msg, code):
    return next(s for s in msg.segments("OBX") if str(s[3][0][0]) == code)


assert str(field(oru, "MSH.9")) == "ORU^R01^ORU_R01" and str(field(oru, "MSH.10")) == "velt-1"
assert str(field(oru, "MSH.4")) == "Ward 3\\T\\4" and str(field(oru, "MSH.21")).startswith("IHE_PCD_001")
assert str(field(oru, "MSH.16")) == "AL"
spo2 = obx(oru, "150456")
assert str(spo2[3]) == ("150456^MDC_PULS_OXIM_SAT_O2^MDC^59408-5^Oxygen saturation in "
                        "Arterial blood by Pulse oximetry^LN"), spo2
assert str(spo2[5]) == "97" and str(spo2[6][0][3]) == "%" and str(spo2[6][0][5]) == "UCUM"
assert str(spo2[14]) == "20251210172232.000+0000" and str(spo2[11]) == "R"
assert oru.unescape(str(spo2[18][0][0])) == "bed|2^/COM1", spo2[18]
pulse = obx(oru, "149530")
assert str(pulse[5]) == "72" and str(pulse[3][0][3]) == "8889-8" and str(pulse[6][0][3]) == "/min"
perf = obx(oru, "150488")
assert str(perf[5]) == "" and str(perf[11]) == "X", perf  # shown as "x": no number

assert str(field(start, "MSH.9")) == "ORU^R40^ORU_R40" and str(field(start, "MSH.21")).startswith("IHE_PCD_ACM")
assert str(field(start, "OBR.4")) == "196616^MDC_EVT_ALARM^MDC"
event = obx(start, "196616")
assert str(event[5][0][0]) == "196670" and str(event[5][0][1]) == "MDC_EVT_LO"
assert start.unescape(str(event[5][0][8])) == "** SpO2 86 < 90 |", event[5]
assert [str(r) for r in event[8]] == ["L", "PH", "SP"] and str(event[4]) == "1.1.1.1.1"
assert str(oru.segment("OBX")[3]) == "69641^MDC_DEV_ANALY_SAT_O2_MDS^MDC"
source = obx(start, "150456")
assert str(source[5]) == "86" and str(source[7]) == "90-"
assert str(obx(start, "68481")[5]) == "start" and str(obx(start, "68482")[5]) == "active"

assert str(obx(ack, "196616")[8]) == "PM~ST"
assert str(obx(ack, "68480")[5]) == "COM1"
assert str(obx(ack, "68481")[5]) == "update" and str(obx(ack, "68482")[5]) == "latched"
assert str(obx(ack, "68483")[5]) == "alert-acknowledged"
assert str(field(ack, "OBR.3")) != str(field(start, "OBR.3"))
print("ok")
