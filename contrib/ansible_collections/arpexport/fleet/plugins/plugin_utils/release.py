"""The programs a run sends to the hosts: the collection's own, or those
of a release folder, which is checked first (the tarballs' names, SHA256SUMS,
and SHA256SUMS.asc with gpg).

Each of the release folder's files is read once, into a private folder, and
checked, verified and unpacked from that copy there: whoever can rename files
in the release folder (or where its links lead) while a run starts can change
nothing that the check passed."""
import errno
import gzip
import hashlib
import os
import re
import stat
import subprocess
import tarfile
import tempfile
import zlib

from ansible_collections.arpexport.fleet.plugins.plugin_utils.text import one_line, shown

# The processors of the release's Linux programs, as their tarballs name them.
PROCESSORS = ("x86_64", "aarch64", "armv7l")
# uname -m to the processor of the program that runs there. An ARMv8 running
# 32-bit ARM says armv8l and runs the armv7l program; ARMv6 runs none.
MACHINES = {"x86_64": "x86_64", "aarch64": "aarch64", "arm64": "aarch64",
            "armv7l": "armv7l", "armv8l": "armv7l"}
TARBALL = re.compile(
    r"^arpexport-[0-9][0-9A-Za-z.+~]*-linux-(" + "|".join(PROCESSORS) + r")\.tar\.gz$")
# This collection, as a release file: not a tarball of programs.
COLLECTION = re.compile(r"^arpexport-fleet-[0-9][0-9A-Za-z.+~-]*\.tar\.gz$")
SUM = re.compile(r"^([0-9a-f]{64}) [ *](.+)$")
# The collection's own programs, gzipped: files/arpexport-linux-PROCESSOR.gz
PROGRAM = "arpexport-linux-{}.gz"


# The most a release file may hold, and a program: a release's are a few MiB.
FILE_LIMIT = 256 << 20
PROGRAM_LIMIT = 64 << 20


def private_copy(directory, name, copies):
    """directory's file name, read once from one descriptor into the private
    folder copies: the copy's path and its SHA-256. A link is followed at
    that one open (a folder of links to a download folder is common), so
    nothing done in either folder afterwards reaches the copy. OSError where
    name is no regular file or is too large."""
    source = os.open(os.path.join(directory, name), os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        # A FIFO or a device would never end, or never answer.
        if not stat.S_ISREG(os.fstat(source).st_mode):
            raise OSError(errno.EINVAL, "not a regular file")
        path = os.path.join(copies, name)
        target = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        with open(target, "wb") as f:
            digest, size = hashlib.sha256(), 0
            for block in iter(lambda: os.read(source, 1 << 20), b""):
                size += len(block)
                if size > FILE_LIMIT:
                    raise OSError(errno.EFBIG, f"larger than {FILE_LIMIT >> 20} MiB")
                digest.update(block)
                f.write(block)
        return path, digest.hexdigest()
    finally:
        os.close(source)


def listed_sums(path):
    """A copy of SHA256SUMS as {name: hash}."""
    with open(path, encoding="utf-8", errors="replace") as f:
        return {m[2]: m[1] for m in map(SUM.match, f.read().splitlines()) if m}


def gpg_status(arguments, home=None):
    """gpg's machine-readable status lines, as lists of words, or None
    where there is no gpg."""
    env = dict(os.environ, **({"GNUPGHOME": home} if home else {}))
    try:
        out = subprocess.run(["gpg", "--batch", "--no-tty", "--status-fd", "1"] + arguments,
                             env=env, capture_output=True, check=False).stdout
    except FileNotFoundError:
        return None
    return [line.split()[1:] for line in out.decode("utf-8", "replace").splitlines()
            if line.startswith("[GNUPG:] ")]


def signatures(status):
    """Each signature's status words, from gpg's status lines: a new one
    starts at NEWSIG, or at the first line where gpg gives none."""
    found = []
    for words in status:
        if words and (words[0] == "NEWSIG" or not found):
            found.append([])
        if words:
            found[-1].append(words)
    return found


# A signature's verdict, and SHA256SUMS.asc's as a whole, as codes.
GOOD = "good"
BAD = "bad"
REVOKED = "revoked"
KEY_EXPIRED = "key-expired"
EXPIRED = "expired"
UNTRUSTED = "untrusted"
KEY_MISSING = "key-missing"
UNREADABLE = "unreadable"
# SHA256SUMS.asc as a whole: GOOD, or one of these.
MISSING = "missing"  # no SHA256SUMS.asc, or no SHA256SUMS to go with it
NO_GPG = "no-gpg"
NO_KEY = "no-key"  # not verifiable with the keys at hand: counted only when required
REFUSED = "refused"
_SIGNED_BY = {
    REVOKED: "made by a revoked key ({key})",
    KEY_EXPIRED: "made by an expired key ({key})",
    EXPIRED: "expired ({key})",
    UNTRUSTED: "made by a key that the keyring does not trust fully or ultimately ({key})",
}


def verdict(signature, trusted_by_keyring):
    """One signature's verdict, a code, and the key that made it."""
    kinds = {words[0]: words[1:] for words in signature}
    key = "?"
    for kind in ("VALIDSIG", "GOODSIG", "EXPKEYSIG", "REVKEYSIG", "EXPSIG", "BADSIG", "ERRSIG", "NO_PUBKEY"):
        if kinds.get(kind):
            key = shown(kinds[kind][0])
            break
    if "BADSIG" in kinds:
        return BAD, key
    # The key that made it, by REVKEYSIG and EXPKEYSIG: KEYREVOKED and
    # KEYEXPIRED speak of any key or subkey of its, used or not.
    if "REVKEYSIG" in kinds:
        return REVOKED, key
    if "EXPKEYSIG" in kinds:
        return KEY_EXPIRED, key
    if "EXPSIG" in kinds:
        return EXPIRED, key
    if "GOODSIG" not in kinds or "VALIDSIG" not in kinds:
        return (KEY_MISSING if "NO_PUBKEY" in kinds or "ERRSIG" in kinds else UNREADABLE), key
    if trusted_by_keyring and "TRUST_FULLY" not in kinds and "TRUST_ULTIMATE" not in kinds:
        return UNTRUSTED, key
    return GOOD, key


def verify_signature(directory, keys=None):
    """gpg's verdict on SHA256SUMS.asc, a code (GOOD, MISSING, NO_GPG,
    NO_KEY or REFUSED), and why. With keys (a file of public keys) only
    those count, in a keyring of their own; without, the user's keyring,
    and only keys it trusts fully or ultimately."""
    asc = os.path.join(directory, "SHA256SUMS.asc")
    if not os.path.isfile(asc):
        return MISSING, ""
    verify = ["--verify", asc, os.path.join(directory, "SHA256SUMS")]
    if not keys:
        status = gpg_status(verify)
        return _judge(status, trusted_by_keyring=True, where="the keyring")
    with tempfile.TemporaryDirectory() as home:
        imported = gpg_status(["--import", keys], home)
        if imported is None:
            return NO_GPG, ""
        if not any(words[:1] == ["IMPORT_OK"] for words in imported):
            return REFUSED, f"{shown(keys)} holds no OpenPGP public key that gpg can import"
        # Keys the user named: trusted for this one check.
        status = gpg_status(["--trust-model", "always"] + verify, home)
        try:
            subprocess.run(["gpgconf", "--kill", "gpg-agent"], env=dict(os.environ, GNUPGHOME=home),
                           capture_output=True, check=False)
        except FileNotFoundError:  # no agent was started without it
            pass
        return _judge(status, trusted_by_keyring=False, where=f"the keys in {shown(keys)}")


def _judge(status, trusted_by_keyring, where):
    """SHA256SUMS.asc's verdict from its signatures': one good one counts."""
    if status is None:
        return NO_GPG, ""
    # gpg gives no NEWSIG for a clear-signed or signed message given as a
    # detached signature, and NODATA for a file with no OpenPGP data in it.
    kinds = {words[0] for words in status if words}
    if "NEWSIG" not in kinds or "NODATA" in kinds:
        return REFUSED, "SHA256SUMS.asc is no detached signature of SHA256SUMS"
    verdicts = [verdict(s, trusted_by_keyring) for s in signatures(status)]
    codes = {code for code, key in verdicts}
    if BAD in codes:
        return REFUSED, "SHA256SUMS.asc is not a good signature of SHA256SUMS"
    if GOOD in codes:
        return GOOD, ""
    if codes <= {KEY_MISSING, UNREADABLE}:
        return NO_KEY, f"SHA256SUMS.asc could not be verified with {where}"
    return REFUSED, "SHA256SUMS.asc is a signature " + "; ".join(
        _SIGNED_BY[code].format(key=key) for code, key in verdicts if code in _SIGNED_BY)


def check(directory, copies, keys=None, require=False):
    """The release folder checked from copies of its files, made in the
    private folder copies: (problems, note, {processor: copy of its tarball})."""
    try:
        names = sorted(n for n in os.listdir(directory)
                       if n.startswith("arpexport") and n.endswith(".tar.gz") and not COLLECTION.match(n))
    except OSError as error:
        return [f"cannot read {shown(directory)}: {error.strerror}"], "", {}
    good = [n for n in names if TARBALL.match(n)]
    processors = [TARBALL.match(n)[1] for n in good]
    problems = []
    if not names:
        problems.append("no release tarball (arpexport-VERSION-linux-PROCESSOR"
                        f".tar.gz) in {shown(directory)}")
    odd = [shown(n) for n in names if n not in good]
    if odd:
        problems.append("files that are not release tarballs: " + ", ".join(odd))
    doubled = sorted({p for p in processors if processors.count(p) > 1})
    if doubled:
        problems.append("more than one tarball for " + ", ".join(doubled))
    tarballs, digests = {}, {}
    for name, processor in zip(good, processors):
        try:
            tarballs[processor], digests[name] = private_copy(directory, name, copies)
        except OSError as error:
            problems.append(f"cannot read {name}: {error.strerror}")
    sums = None
    for name in ("SHA256SUMS", "SHA256SUMS.asc"):
        try:
            path = private_copy(directory, name, copies)[0]
        except FileNotFoundError:
            continue
        except OSError as error:
            problems.append(f"cannot read {name}: {error.strerror}")
            continue
        if name == "SHA256SUMS":
            sums = listed_sums(path)
    if sums is not None:
        unlisted = [n for n in digests if n not in sums]
        changed = [n for n in digests if n in sums and sums[n] != digests[n]]
        if unlisted:
            problems.append("not listed in SHA256SUMS: " + ", ".join(unlisted))
        if changed:
            problems.append("not as SHA256SUMS has them: " + ", ".join(changed))
    signature, why = verify_signature(copies, keys) if sums is not None else (MISSING, "")
    if signature == REFUSED:
        problems.append(why)
    elif require and signature != GOOD:
        problems.append({
            MISSING: "no SHA256SUMS with SHA256SUMS.asc to verify",
            NO_GPG: "no gpg on this computer to verify SHA256SUMS.asc",
            NO_KEY: why,
        }[signature])
    note = ("SHA256SUMS.asc verified" if signature == GOOD else
            "checked against SHA256SUMS" if sums is not None else
            "not checked: no SHA256SUMS")
    return problems, note, tarballs


class NoProgram(Exception):
    """A whole tarball without the program where a release has it."""


def program(path):
    """The program in a release tarball, gzipped, without unpacking anything:
    read from one open file to its very end, where gzip's check value and
    length are."""
    member = os.path.basename(path)[: -len(".tar.gz")] + "/arpexport"
    data = None
    with open(path, "rb") as raw, gzip.GzipFile(fileobj=raw) as unpacked:
        with tarfile.open(fileobj=unpacked, mode="r|") as tar:
            # The last of a name is the one tar would unpack.
            for info in tar:
                if info.name != member:
                    continue
                if not info.isfile():
                    raise NoProgram(f"{member} is not a file")
                if info.size > PROGRAM_LIMIT:
                    raise NoProgram(f"{member} is larger than {PROGRAM_LIMIT >> 20} MiB")
                data = tar.extractfile(info).read()
        while unpacked.read(1 << 20):
            pass
    if data is None:
        raise NoProgram(f"no {member} in it")
    return gzip.compress(data, mtime=0)


def stage(tarballs, folder):
    """Each tarball's program, gzipped, in folder: ({processor: path}, problems)."""
    programs, problems = {}, []
    for processor, path in sorted(tarballs.items()):
        name = os.path.basename(path)
        try:
            data = program(path)
        except NoProgram as error:
            problems.append(f"{name} holds no program: {one_line(str(error))}")
            continue
        except (EOFError, zlib.error, gzip.BadGzipFile, tarfile.TarError) as error:
            problems.append(f"{name} is not a whole gzipped tarball: {one_line(str(error))}")
            continue
        except OSError as error:
            problems.append(f"cannot read {name}: {error.strerror}")
            continue
        programs[processor] = os.path.join(folder, PROGRAM.format(processor))
        with open(programs[processor], "wb") as f:
            f.write(data)
    return programs, problems


def collection_programs(files):
    """{processor: path} of the programs in the collection's files folder."""
    try:
        names = os.listdir(files)
    except OSError:
        return {}
    return {p: os.path.join(files, PROGRAM.format(p)) for p in PROCESSORS if PROGRAM.format(p) in names}
