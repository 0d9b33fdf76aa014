#!/usr/bin/env python3
"""The controller's side of collect.yml, with Python's standard library
alone (Ansible's own interpreter runs it).

  arpexport_fleet.py release DIR [KEYS] [REQUIRE]
      Checks the release in DIR and prints JSON: "problems" (none when it
      may be deployed), "note" (how it was checked) and "programs", each
      processor's program from its tarball, gzipped and base64-encoded. KEYS is a file
      of OpenPGP public keys for SHA256SUMS.asc ("" for the keyring);
      REQUIRE "true" makes a verified signature necessary.

  arpexport_fleet.py record
      Reads JSON on standard input, after a word: "root" (the tables folder), "run" (the
      run's folder name), "release" (its note) and "hosts", each host's
      outcome with its table, and writes ROOT/RUN/HOST.txt for each host
      collected (under a temporary name first), ROOT/RUN/run.json with every
      host's outcome, merged with what an earlier pass into the run wrote,
      and ROOT/latest, pointing at the newest run. Prints the report's
      lines as JSON.
"""
import base64
import gzip
import hashlib
import json
import os
import re
import subprocess
import sys
import tarfile
import tempfile

TARBALL = re.compile(
    r"^arpexport-[0-9][0-9A-Za-z.+~]*-linux-(x86_64|aarch64|armv7l)\.tar\.gz$")
RUN = re.compile(r"^[0-9]{8}T[0-9]{6}Z$")
HOST = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9._@+:-]*$")
SUM = re.compile(r"^([0-9a-f]{64}) [ *](.+)$")


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def listed_sums(directory):
    """SHA256SUMS as {name: hash}, or None when there is none."""
    path = os.path.join(directory, "SHA256SUMS")
    if not os.path.isfile(path):
        return None
    with open(path, encoding="utf-8", errors="replace") as f:
        return {m[2]: m[1] for m in map(SUM.match, f.read().splitlines()) if m}


def verify_signature(directory, keys):
    """gpg's verdict on SHA256SUMS.asc: good, bad, unknown or missing."""
    if not os.path.isfile(os.path.join(directory, "SHA256SUMS.asc")):
        return "missing"
    command = ["gpg", "--batch", "--status-fd", "1", "--verify",
               os.path.join(directory, "SHA256SUMS.asc"),
               os.path.join(directory, "SHA256SUMS")]
    try:
        with tempfile.TemporaryDirectory() as home:
            env = dict(os.environ)
            if keys:
                # A keyring of the named keys alone: the user's is not used.
                env["GNUPGHOME"] = home
                subprocess.run(["gpg", "--batch", "--quiet", "--import", keys],
                               env=env, capture_output=True, check=False)
            status = subprocess.run(command, env=env, capture_output=True,
                                    text=True, check=False).stdout
            if keys:
                subprocess.run(["gpgconf", "--kill", "gpg-agent"], env=env,
                               capture_output=True, check=False)
    except FileNotFoundError:
        return "no gpg"
    if "[GNUPG:] BADSIG" in status:
        return "bad"
    return "good" if "[GNUPG:] VALIDSIG" in status else "unknown"


def program(path, name):
    """The program in a release tarball, without unpacking anything."""
    member = name[: -len(".tar.gz")] + "/arpexport"
    with tarfile.open(path, "r:gz") as tar:
        info = tar.getmember(member)
        if not info.isfile():
            raise KeyError(member)
        return tar.extractfile(info).read()


def release(directory, keys="", require="false"):
    names = sorted(n for n in os.listdir(directory)
                   if n.startswith("arpexport") and n.endswith(".tar.gz"))
    good = [n for n in names if TARBALL.match(n)]
    processors = [TARBALL.match(n)[1] for n in good]
    problems = []
    if not names:
        problems.append("no release tarball (arpexport-VERSION-linux-PROCESSOR"
                        f".tar.gz) in {directory}")
    odd = [n for n in names if n not in good]
    if odd:
        problems.append("files that are not release tarballs: " + ", ".join(odd))
    doubled = sorted({p for p in processors if processors.count(p) > 1})
    if doubled:
        problems.append("more than one tarball for " + ", ".join(doubled))
    sums = listed_sums(directory)
    if sums is not None:
        unlisted = [n for n in names if n not in sums]
        changed = [n for n in names
                   if n in sums and sums[n] != sha256(os.path.join(directory, n))]
        if unlisted:
            problems.append("not listed in SHA256SUMS: " + ", ".join(unlisted))
        if changed:
            problems.append("not as SHA256SUMS has them: " + ", ".join(changed))
    signature = verify_signature(directory, keys) if sums is not None else "missing"
    where = f"the keys in {keys}" if keys else "the keyring"
    if signature == "bad":
        problems.append("SHA256SUMS.asc is not a good signature of SHA256SUMS")
    elif require == "true" and signature != "good":
        problems.append({
            "missing": "no SHA256SUMS with SHA256SUMS.asc to verify",
            "no gpg": "no gpg on this computer to verify SHA256SUMS.asc",
            "unknown": f"SHA256SUMS.asc could not be verified with {where}",
        }[signature])
    note = ("SHA256SUMS.asc verified" if signature == "good" else
            "checked against SHA256SUMS" if sums is not None else
            "not checked: no SHA256SUMS")
    programs = {}
    if not problems:
        for name, processor in zip(good, processors):
            try:
                # A third of the size on its way to every host.
                programs[processor] = base64.b64encode(gzip.compress(
                    program(os.path.join(directory, name), name), mtime=0)).decode()
            except (KeyError, OSError, tarfile.TarError) as error:
                problems.append(f"{name} holds no program: {error}")
    return {"problems": problems, "note": note, "programs": programs}


def write_atomically(path, text):
    """path holds text, or what it held: the text goes to a temporary file
    beside it first. text may also be a function that writes to the file;
    its result is returned."""
    directory, name = os.path.split(path)
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            result = text(f) if callable(text) else f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
        return result
    except BaseException:
        os.unlink(temporary)
        raise


def point_latest(root):
    runs = sorted(n for n in os.listdir(root)
                  if RUN.match(n) and os.path.isdir(os.path.join(root, n)))
    temporary = os.path.join(root, ".latest.new")
    if os.path.lexists(temporary):
        os.unlink(temporary)
    os.symlink(runs[-1], temporary)
    os.replace(temporary, os.path.join(root, "latest"))


def record(request):
    root, run = request["root"], request["run"]
    if not RUN.match(run):
        raise SystemExit(f"not a run's name: {run}")
    folder = os.path.join(root, run)
    os.makedirs(folder, mode=0o755, exist_ok=True)
    outcomes = {}
    for host, outcome in sorted(request["hosts"].items()):
        table = outcome.pop("table", None)
        if not HOST.match(host) or host == "report":
            outcome = {"collected": False, "addresses": outcome.get("addresses", []),
                       "reason": "its inventory name is not safe as a file name"
                                 if host != "report" else "its table would be the report's file"}
        elif outcome.get("collected"):
            write_atomically(os.path.join(folder, host + ".txt"),
                             "".join(line + "\n" for line in table))
        outcomes[host] = outcome
    path = os.path.join(folder, "run.json")
    hosts = {}
    if os.path.isfile(path):
        with open(path, encoding="utf-8") as f:
            hosts = json.load(f).get("hosts", {})
    hosts.update(outcomes)
    write_atomically(path, json.dumps(
        {"run": run, "release": request.get("release", ""), "hosts": hosts},
        indent=2, sort_keys=True) + "\n")
    point_latest(root)
    lines = [f"{request.get('release', '')}; tables in {folder}"]
    for host, o in outcomes.items():
        said = (f"collected, {o['lines']} line{'' if o['lines'] == 1 else 's'}"
                if o["collected"] else "FAILED: " + o["reason"])
        if o.get("left"):
            said += f"; its temporary folder {o['left']} is left there"
        lines.append(f"{host}: {said}")
    return {"lines": lines,
            "failed": [h for h, o in outcomes.items() if not o["collected"]]}


def main(argv):
    if len(argv) >= 2 and argv[1] == "release":
        print(json.dumps(release(*argv[2:5])))
    elif len(argv) == 2 and argv[1] == "record":
        # After a word of its own: Ansible would take a bare JSON object on
        # a module's input for a dictionary of its own.
        text = sys.stdin.read()
        print(json.dumps(record(json.loads(text[text.index("{"):]))))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
