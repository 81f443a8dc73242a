#!/usr/bin/env python3
"""An independent check of signed iOS code, written apart from the signer.

Usage: independent_verify.py [--ca ROOT.pem] [--provisioning] [--strict] PATH...

PATH is a bundle (any folder whose Info.plist names an executable that
exists: .app, .appex, .framework, .xctest, .xpc, .bundle, ...) or a bare
Mach-O file. A
bundle is flat (Info.plist, executable and _CodeSignature at its top) or a
versioned framework: its code in Versions/<v> with Versions/Current a link to
<v>, its Info.plist in Versions/<v>/Resources, its seal in
Versions/<v>/_CodeSignature, and at its top nothing but links of the form
NAME -> Versions/Current/NAME. For every
slice it re-parses the Mach-O, re-hashes every page and every special slot,
checks the CodeDirectory fields a device relies on, has `openssl cms -verify`
check the CMS signature over the primary CodeDirectory, and compares the
cdhashes the CMS binds with its own. For bundles it checks the resource seal
(files changed, added or missing) and then every piece of nested code:
every nested bundle, and every Mach-O file of a kind that is signed (told by
its content, not its name; debug symbols are not code).
With --provisioning, every application and extension must also carry its
own embedded.mobileprovision of the signing team that lists the signing
certificate and is in date, whose application-identifier fits its bundle
identifier; its signed application-identifier must be TEAMID.<its bundle
identifier>, no signed entitlement may hold a "*", and every signed
entitlement must be one its profile permits; and a nested one's identifier
must lie under its parent's. Other nested programs (XPC services, helper
tools) have no profile of their own: what they are signed with must hold no
"*" and be permitted by the profile of the application or extension that
carries them, and an application-identifier among it must be the carrier's.
With --strict, the layout a loader relies on is checked as well: in every
slice the load commands end before the first section's data, and every
library loaded through @executable_path, @loader_path or @rpath (other than
weakly) is a file inside the checked item; and no symbolic link inside a
bundle leads out of it.
Only the standard library and the openssl command are used.
Prints one line per problem and exits 1 if there was any.
"""
import datetime
import hashlib
import os
import plistlib
import re
import struct
import subprocess
import sys
import tempfile

problems = []
signed_by = {}  # bundle path -> what its main executable was signed with
strict = False


def problem(where, text):
    problems.append(f"{where}: {text}")


# --- DER -------------------------------------------------------------------

def der_items(data):
    """Yields (tag, content, raw) for each TLV in data."""
    i = 0
    while i < len(data):
        tag = data[i]
        length = data[i + 1]
        j = i + 2
        if length & 0x80:
            n = length & 0x7F
            length = int.from_bytes(data[j:j + n], "big")
            j += n
        yield tag, data[j:j + length], data[i:j + length]
        i = j + length


def der_children(content):
    return list(der_items(content))


OID_CDHASHES_PLIST = bytes.fromhex("2a864886f763640901")
OID_CDHASHES = bytes.fromhex("2a864886f763640902")
OID_SHA1 = bytes.fromhex("2b0e03021a")
OID_SHA256 = bytes.fromhex("608648016503040201")


def signed_attributes(cms):
    (tag, content_info, _), = der_children(cms)
    _, explicit0 = der_children(content_info)[:2]
    (_, signed_data, _), = der_children(explicit0[1])
    parts = der_children(signed_data)
    signer_infos = parts[-1]
    (_, signer_info, _), = der_children(signer_infos[1])
    for tag, content, _ in der_children(signer_info):
        if tag == 0xA0:
            attrs = {}
            for _, attr, _ in der_children(content):
                oid_tlv, values = der_children(attr)
                attrs[oid_tlv[1]] = [c for c in der_children(values[1])]
            return attrs
    return {}


# --- Mach-O ------------------------------------------------------------------

def slices_of(data):
    magic = struct.unpack(">I", data[:4])[0]
    if magic == 0xCAFEBABE:
        count = struct.unpack(">I", data[4:8])[0]
        out = []
        for i in range(count):
            cpu, sub, off, size, align = struct.unpack(">iiIII", data[8 + 20 * i:28 + 20 * i])
            out.append((off, data[off:off + size]))
        return out
    return [(0, data)]


LOAD_DYLIB, LOAD_WEAK_DYLIB, REEXPORT_DYLIB, LAZY_LOAD_DYLIB, LOAD_UPWARD_DYLIB = (
    0xC, 0x80000018, 0x8000001F, 0x20, 0x80000023)
RPATH = 0x8000001C
ZEROFILL_TYPES = (0x1, 0xC, 0x12)  # S_ZEROFILL, S_GB_ZEROFILL, S_THREAD_LOCAL_ZEROFILL


def c_string(s, start, end):
    raw = s[start:end]
    return raw[:raw.index(b"\0")].decode(errors="replace") if b"\0" in raw else raw.decode(errors="replace")


def parse_slice(s):
    magic = struct.unpack("<I", s[:4])[0]
    if magic not in (0xFEEDFACF, 0xFEEDFACE):
        raise ValueError("not a little-endian Mach-O slice")
    is64 = magic == 0xFEEDFACF
    _, cputype, subtype, filetype, ncmds, sizeofcmds, flags = struct.unpack("<IiiIIII", s[:28])
    info = {"filetype": filetype, "segments": {}, "codesig": None, "platform": None, "cputype": cputype,
            "loads": [], "rpaths": [], "first_section": None}
    at = 32 if is64 else 28
    info["commands_end"] = at + sizeofcmds
    for _ in range(ncmds):
        cmd, cmdsize = struct.unpack("<II", s[at:at + 8])
        if cmd in (0x19, 0x1):
            name = s[at + 8:at + 24].rstrip(b"\0").decode()
            if cmd == 0x19:
                vmaddr, vmsize, fileoff, filesize = struct.unpack("<QQQQ", s[at + 24:at + 56])
                nsects = struct.unpack("<I", s[at + 64:at + 68])[0]
                first, size, offset_at = at + 72, 80, 48
            else:
                vmaddr, vmsize, fileoff, filesize = struct.unpack("<IIII", s[at + 24:at + 40])
                nsects = struct.unpack("<I", s[at + 48:at + 52])[0]
                first, size, offset_at = at + 56, 68, 40
            info["segments"][name] = (fileoff, filesize, vmsize)
            for i in range(nsects):
                section = first + i * size
                offset = struct.unpack("<I", s[section + offset_at:section + offset_at + 4])[0]
                kind = struct.unpack("<I", s[section + offset_at + 16:section + offset_at + 20])[0] & 0xFF
                if offset and kind not in ZEROFILL_TYPES:
                    if info["first_section"] is None or offset < info["first_section"]:
                        info["first_section"] = offset
        elif cmd == 0x1D:
            info["codesig"] = struct.unpack("<II", s[at + 8:at + 16])
        elif cmd == 0x32:
            info["platform"] = struct.unpack("<II", s[at + 8:at + 16])
        elif cmd in (LOAD_DYLIB, LOAD_WEAK_DYLIB, REEXPORT_DYLIB, LAZY_LOAD_DYLIB, LOAD_UPWARD_DYLIB):
            name_offset = struct.unpack("<I", s[at + 8:at + 12])[0]
            info["loads"].append((cmd, c_string(s, at + name_offset, at + cmdsize)))
        elif cmd == RPATH:
            path_offset = struct.unpack("<I", s[at + 8:at + 12])[0]
            info["rpaths"].append(c_string(s, at + path_offset, at + cmdsize))
        at += cmdsize
    return info


def rpaths_of(path):
    """The run paths of every slice of a Mach-O file, by CPU type."""
    out = {}
    try:
        data = open(path, "rb").read()
        for _, s in slices_of(data):
            info = parse_slice(s)
            out[info["cputype"]] = info["rpaths"]
    except (OSError, ValueError, struct.error):
        pass
    return out


def check_loads(where, path, info, host, root):
    """--strict: the load commands leave the sections alone, and what is
    loaded by a relative name is inside the checked item."""
    if info["first_section"] is not None and info["commands_end"] > info["first_section"]:
        problem(where, "load commands run into the first section's data")
    if host is None:
        return
    loader = os.path.dirname(path)
    executable = os.path.dirname(host)
    searched = info["rpaths"] + (rpaths_of(host).get(info["cputype"], []) if host != path else [])

    def expand(text):
        for prefix, folder in (("@executable_path/", executable), ("@loader_path/", loader)):
            if text.startswith(prefix):
                return os.path.join(folder, text[len(prefix):])
        return text

    inside = os.path.realpath(root) + os.sep
    for cmd, name in info["loads"]:
        if not name.startswith("@") or cmd == LOAD_WEAK_DYLIB:
            continue
        if name.startswith("@rpath/"):
            candidates = [os.path.join(expand(r), name[len("@rpath/"):]) for r in searched]
        else:
            candidates = [expand(name)]
        found = [c for c in candidates if os.path.isfile(c)]
        if not found:
            problem(where, f"loads {name}, which is not in the package")
        elif not os.path.realpath(found[0]).startswith(inside):
            problem(where, f"loads {name} from outside the package")


def digest(hash_type, data):
    return hashlib.sha1(data).digest() if hash_type == 1 else hashlib.sha256(data).digest()


def parse_cd(blob):
    (magic, length, version, flags, hash_offset, ident_offset, n_special, n_code, code_limit,
     hash_size, hash_type, platform, page_log2, _spare2, _scatter, team_offset) = struct.unpack(
        ">IIIIIIIIIBBBBIII", blob[:52])
    exec_base, exec_limit, exec_flags = struct.unpack(">QQQ", blob[64:88])
    ident = blob[ident_offset:blob.index(b"\0", ident_offset)].decode()
    team = blob[team_offset:blob.index(b"\0", team_offset)].decode() if team_offset else None
    return dict(magic=magic, length=length, version=version, flags=flags, hash_offset=hash_offset,
                n_special=n_special, n_code=n_code, code_limit=code_limit, hash_size=hash_size,
                hash_type=hash_type, page_log2=page_log2, exec_base=exec_base, exec_limit=exec_limit,
                exec_flags=exec_flags, ident=ident, team=team, blob=blob[:length])


# NOTE: keep in step with CodeDirectory::specialSlot in src/codesign/CodeDirectory.cpp.
def special(cd, slot):
    if slot > cd["n_special"]:
        return None
    start = cd["hash_offset"] - slot * cd["hash_size"]
    return cd["blob"][start:start + cd["hash_size"]]


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, capture_output=True)


def check_cms(where, cms, primary, cds, ca):
    with tempfile.TemporaryDirectory() as tmp:
        cms_path = os.path.join(tmp, "cms.der")
        cd_path = os.path.join(tmp, "cd.bin")
        signer_path = os.path.join(tmp, "signer.pem")
        open(cms_path, "wb").write(cms)
        open(cd_path, "wb").write(primary)
        args = ["cms", "-verify", "-binary", "-inform", "DER", "-in", cms_path, "-content", cd_path,
                "-out", os.devnull, "-signer", signer_path, "-purpose", "any"]
        args += ["-CAfile", ca, "-ignore_critical"] if ca else ["-noverify"]
        result = openssl(*args)
        if result.returncode != 0:
            problem(where, "openssl cms -verify failed: " + result.stderr.decode(errors="replace").strip())
            return None
        subject = openssl("x509", "-in", signer_path, "-noout", "-subject", "-nameopt", "multiline")
        ou = re.search(r"organizationalUnitName\s*=\s*(\S+)", subject.stdout.decode())
        signer_der = openssl("x509", "-in", signer_path, "-outform", "DER").stdout
        signed_by.setdefault("_last", {})["cert"] = signer_der
    attrs = signed_attributes(cms)
    expected = [digest(cd["hash_type"], cd["blob"])[:20] for cd in cds]
    if OID_CDHASHES_PLIST not in attrs:
        problem(where, "CMS lacks the CDHashes attribute")
    else:
        tag, content, _ = attrs[OID_CDHASHES_PLIST][0]
        listed = plistlib.loads(content).get("cdhashes", [])
        if listed != expected:
            problem(where, "CDHashes attribute does not list the CodeDirectories")
    if OID_CDHASHES not in attrs:
        problem(where, "CMS lacks the CDHashes2 attribute")
    else:
        values = attrs[OID_CDHASHES]
        if len(values) != len(cds):
            problem(where, "CDHashes2 count differs from the CodeDirectory count")
        for _, seq, _ in values:
            (_, oid, _), (_, value, _) = der_children(seq)
            hash_type = {OID_SHA1: 1, OID_SHA256: 2}.get(oid)
            if not any(cd["hash_type"] == hash_type and digest(hash_type, cd["blob"]) == value for cd in cds):
                problem(where, "CDHashes2 value matches no CodeDirectory")
    return ou.group(1) if ou else None


def check_binary(where, path, bundle=None, ca=None, info_path=None, host=None, root=None):
    data = open(path, "rb").read()
    bundle_info = code_resources = identifier = None
    if bundle:
        bundle_info = open(info_path or os.path.join(bundle, "Info.plist"), "rb").read()
        identifier = plistlib.loads(bundle_info).get("CFBundleIdentifier")
        cr = os.path.join(bundle, "_CodeSignature", "CodeResources")
        code_resources = open(cr, "rb").read() if os.path.exists(cr) else None
    hash_types = set()
    for offset, s in slices_of(data):
        info = parse_slice(s)
        if strict:
            check_loads(where, path, info, host, root or path)
        if not info["codesig"]:
            problem(where, "slice without LC_CODE_SIGNATURE")
            continue
        dataoff, datasize = info["codesig"]
        le_off, le_size, le_vm = info["segments"]["__LINKEDIT"]
        if dataoff % 16 or dataoff + datasize != len(s) or le_off + le_size != len(s) or le_vm < le_size:
            problem(where, "signature or __LINKEDIT does not end the slice")
        if offset and offset % 0x4000:
            problem(where, "fat slice not aligned to 0x4000")
        sig = s[dataoff:dataoff + datasize]
        magic, length, count = struct.unpack(">III", sig[:12])
        if magic != 0xFADE0CC0:
            problem(where, "no embedded signature SuperBlob")
            continue
        blobs = {}
        for i in range(count):
            slot, off = struct.unpack(">II", sig[12 + 8 * i:20 + 8 * i])
            blen = struct.unpack(">I", sig[off + 4:off + 8])[0]
            blobs[slot] = sig[off:off + blen]
        cds = [parse_cd(blobs[0])] + [parse_cd(blobs[0x1000 + i]) for i in range(5) if 0x1000 + i in blobs]
        main_binary = info["filetype"] == 2
        if len({cd["hash_type"] for cd in cds}) != len(cds):
            problem(where, "two CodeDirectories of one hash type")
        for cd in cds:
            hash_types.add(cd["hash_type"])
            if identifier is not None and cd["ident"] != identifier:
                problem(where, "identifier is not the bundle identifier")
            if cd["n_special"] and cd["hash_offset"] < cd["n_special"] * cd["hash_size"]:
                problem(where, "special slots outside the CodeDirectory")
            if cd["version"] < 0x20400 or cd["page_log2"] != 12 or cd["code_limit"] != dataoff:
                problem(where, "CodeDirectory version, page size or code limit is wrong")
            page = 1 << cd["page_log2"]
            code = s[:cd["code_limit"]]
            hashes = b"".join(digest(cd["hash_type"], code[i:i + page]) for i in range(0, len(code), page))
            recorded = cd["blob"][cd["hash_offset"]:cd["hash_offset"] + cd["n_code"] * cd["hash_size"]]
            if hashes != recorded:
                problem(where, f"page hashes differ (hash type {cd['hash_type']})")
            text_off, text_size, _ = info["segments"]["__TEXT"]
            if (cd["exec_base"], cd["exec_limit"]) != (text_off, text_size):
                problem(where, "execSeg fields do not describe __TEXT")
            if bool(cd["exec_flags"] & 1) != main_binary:
                problem(where, "main-binary exec flag is wrong")
            # NOTE: keep in step with the special-slot numbers in src/codesign/CodeDirectory.h.
            sealed = {1: bundle_info, 2: blobs.get(2), 3: code_resources, 5: blobs.get(5), 7: blobs.get(7)}
            for slot, content in sealed.items():
                recorded = special(cd, slot)
                if content is None:
                    if recorded and any(recorded) and not (slot in (1, 3) and bundle is None):
                        problem(where, f"special slot {slot} has no content")
                elif recorded is None or digest(cd["hash_type"], content) != recorded:
                    problem(where, f"special slot {slot} does not match")
        requirements = blobs.get(2, b"")
        if requirements[:4] != b"\xfa\xde\x0c\x01":
            problem(where, "no requirements set")
        if 7 in blobs and blobs[7][8:9] != b"\x70":
            problem(where, "DER entitlements do not start with [APPLICATION 16]")
        if (5 in blobs) != main_binary or (7 in blobs) != main_binary:
            problem(where, "entitlements present on a library or missing on a main executable")
        cms = blobs.get(0x10000, b"")[8:]
        if not cms:
            problem(where, "no CMS signature")
            continue
        team = check_cms(where, cms, cds[0]["blob"], cds, ca)
        if team is not None and any(cd["team"] != team for cd in cds):
            problem(where, "team identifier differs from the signer's organisational unit")
        if main_binary:
            entitlements = plistlib.loads(blobs[5][8:]) if 5 in blobs else {}
            signed_by[bundle or where] = {"team": team, "cert": signed_by.get("_last", {}).get("cert"),
                                 "entitlements": entitlements}
    return hash_types


def rule_for(path, rules):
    """The matching rule of highest weight; of equal weights an omitting one."""
    best = None
    for pattern, value in rules.items():
        if re.search(pattern, path):
            weight = value.get("weight", 1) if isinstance(value, dict) else 1
            omit = isinstance(value, dict) and bool(value.get("omit"))
            if best is None or (weight, omit) > best[0]:
                best = ((weight, omit), value)
    return best[1] if best else None


def check_seal(where, bundle, executable, hash_types):
    seal_path = os.path.join(bundle, "_CodeSignature", "CodeResources")
    if not os.path.exists(seal_path):
        problem(where, "no resource seal (_CodeSignature/CodeResources)")
        return
    seal = plistlib.load(open(seal_path, "rb"))
    files2, rules2 = seal["files2"], seal["rules2"]
    seen = set()
    for root, dirs, files in os.walk(bundle):
        for name in sorted(dirs + files):
            full = os.path.join(root, name)
            rel = os.path.relpath(full, bundle)
            if os.path.isdir(full) and not os.path.islink(full):
                continue
            if rel.startswith("_CodeSignature/") or rel == executable:
                continue
            rule = rule_for(rel, rules2)
            if isinstance(rule, dict) and rule.get("omit"):
                continue
            entry = files2.get(rel)
            if entry is None:
                problem(where, "file added: " + rel)
                continue
            seen.add(rel)
            if os.path.islink(full):
                target = os.path.normpath(os.path.join(os.path.dirname(full), os.readlink(full)))
                if strict and not (target + os.sep).startswith(os.path.normpath(bundle) + os.sep):
                    problem(where, "symlink leads out of the bundle: " + rel)
                if entry.get("symlink") != os.readlink(full):
                    problem(where, "symlink modified: " + rel)
                continue
            content = open(full, "rb").read()
            if 2 in hash_types and entry.get("hash2") != hashlib.sha256(content).digest():
                problem(where, "file modified: " + rel)
            if 1 in hash_types and entry.get("hash") != hashlib.sha1(content).digest():
                problem(where, "file modified (SHA-1): " + rel)
    for rel, entry in files2.items():
        if rel not in seen and not (isinstance(entry, dict) and entry.get("optional")):
            problem(where, "file missing: " + rel)


def fits(application_identifier, identifier):
    prefix, _, pattern = application_identifier.partition(".")
    if pattern == identifier:
        return True
    return pattern.endswith("*") and identifier.startswith(pattern[:-1]) and identifier != ""


def permits(allowed, claimed):
    """Whether a profile's entitlement value allows a signed value: a string
    ending in "*" allows what starts with the rest, a list allows what one
    of its entries allows (a signed list: each of its entries), true allows
    either boolean, anything else only itself."""
    if isinstance(claimed, list):
        if not isinstance(allowed, (list, str)):
            return allowed == claimed
        return all(permits(allowed, item) for item in claimed)
    if isinstance(allowed, list):
        return any(permits(entry, claimed) for entry in allowed)
    if isinstance(allowed, str):
        if not isinstance(claimed, str):
            return False
        return claimed.startswith(allowed[:-1]) if allowed.endswith("*") else claimed == allowed
    if isinstance(allowed, bool):
        return isinstance(claimed, bool) and (allowed or not claimed)
    return allowed == claimed


def holds_pattern(value):
    if isinstance(value, str):
        return "*" in value
    if isinstance(value, list):
        return any(holds_pattern(item) for item in value)
    if isinstance(value, dict):
        return any(holds_pattern(item) for item in value.values())
    return False


def check_entitlements(bundle, signed, granted, team, identifier):
    own = f"{team}.{identifier}"
    if signed.get("application-identifier") != own:
        problem(bundle, f"signed application-identifier {signed.get('application-identifier')} is not {own}")
    for key, value in sorted(signed.items()):
        if holds_pattern(value):
            problem(bundle, f"signed entitlement {key} holds a pattern: {value!r}")
        elif key not in granted:
            problem(bundle, f"signed entitlement {key} is not in its profile")
        elif not permits(granted[key], value):
            problem(bundle, f"signed entitlement {key} = {value!r} is not permitted by its profile")


def check_provisioning(bundle, parent_identifier):
    info = plistlib.load(open(os.path.join(bundle, "Info.plist"), "rb"))
    identifier = info.get("CFBundleIdentifier", "")
    if parent_identifier is not None and not identifier.startswith(parent_identifier + "."):
        problem(bundle, f"identifier {identifier} is not under its parent's {parent_identifier}")
    signed = signed_by.get(bundle)
    if not signed:
        problem(bundle, "main executable not signed")
        return
    profile_path = os.path.join(bundle, "embedded.mobileprovision")
    if not os.path.exists(profile_path):
        problem(bundle, "no embedded.mobileprovision of its own")
        return
    decoded = openssl("cms", "-verify", "-noverify", "-inform", "DER", "-in", profile_path)
    try:
        profile = plistlib.loads(decoded.stdout)
    except Exception:
        problem(bundle, "embedded.mobileprovision cannot be decoded")
        return
    if signed["team"] not in profile.get("TeamIdentifier", []):
        problem(bundle, "embedded profile is not of the signing team")
    if signed["cert"] not in profile.get("DeveloperCertificates", []):
        problem(bundle, "embedded profile does not list the signing certificate")
    now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    if not (profile.get("CreationDate", now) <= now <= profile.get("ExpirationDate", now - datetime.timedelta(1))):
        problem(bundle, "embedded profile is out of date")
    granted = profile.get("Entitlements", {})
    application_identifier = granted.get("application-identifier", "")
    check_entitlements(bundle, signed["entitlements"], granted, signed["team"], identifier)
    if not application_identifier.startswith(f"{signed['team']}.") or not fits(application_identifier, identifier):
        problem(bundle, f"application-identifier {application_identifier} does not fit {identifier}")
    return {"granted": granted, "application-identifier": signed["entitlements"].get("application-identifier")}


def check_carried(where, signed_key, carrier):
    """A program without a profile of its own, against the profile of the bundle that carries it."""
    signed = signed_by.get(signed_key)
    if carrier is None or not signed:
        return
    for key, value in sorted(signed["entitlements"].items()):
        if holds_pattern(value):
            problem(where, f"signed entitlement {key} holds a pattern: {value!r}")
        elif key == "application-identifier" and value != carrier["application-identifier"]:
            problem(where, f"signed application-identifier {value} is not its carrier's")
        elif key not in carrier["granted"]:
            problem(where, f"signed entitlement {key} is not in its carrier's profile")
        elif not permits(carrier["granted"][key], value):
            problem(where, f"signed entitlement {key} = {value!r} is not permitted by its carrier's profile")


def bundle_layout(where, path):
    """(contents folder, Info.plist path) of a bundle; checks a versioned top."""
    if os.path.lexists(os.path.join(path, "Info.plist")):
        return path, os.path.join(path, "Info.plist")
    current = os.path.join(path, "Versions", "Current")
    if not os.path.islink(current):
        return path, os.path.join(path, "Resources", "Info.plist")
    version = os.readlink(current)
    contents = os.path.join(path, "Versions", version)
    if "/" in version or version in (".", "..") or os.path.islink(contents) or not os.path.isdir(contents):
        problem(where, "Versions/Current does not name a version folder: " + version)
    for name in sorted(os.listdir(path)):
        if name == "Versions":
            continue
        full = os.path.join(path, name)
        wanted = "Versions/Current/" + name
        if not os.path.islink(full):
            problem(where, "unsealed entry at the top of a versioned framework: " + name)
        elif os.readlink(full) != wanted:
            problem(where, f"top-level link {name} -> {os.readlink(full)}, not {wanted}")
        elif not os.path.lexists(os.path.join(contents, name)):
            problem(where, "top-level link leads nowhere: " + name)
    return contents, os.path.join(contents, "Resources", "Info.plist")


SIGNED_FILETYPES = (0x2, 0x6, 0x7, 0x8, 0xB)  # executable, dylib, dylinker, bundle, kext; not MH_DSYM (0xA)


def is_bundle(full):
    """A folder whose Info.plist names an executable that exists, whatever its extension."""
    if os.path.islink(full):
        return False
    info_path = os.path.join(full, "Info.plist")
    contents = full
    if not os.path.exists(info_path):
        current = os.path.join(full, "Versions", "Current")
        if not os.path.islink(current):
            return False
        contents = os.path.join(full, "Versions", os.readlink(current))
        info_path = os.path.join(contents, "Resources", "Info.plist")
    try:
        executable = plistlib.load(open(info_path, "rb")).get("CFBundleExecutable")
    except Exception:
        return False
    return isinstance(executable, str) and "/" not in executable and os.path.isfile(os.path.join(contents, executable))


def is_signed_macho(full):
    """A Mach-O file by its magic (the first slice of a fat one) whose file type carries a signature."""
    with open(full, "rb") as f:
        head = f.read(8)
        if len(head) < 8:
            return False
        offset = 0
        if head[:4] in (b"\xca\xfe\xba\xbe", b"\xca\xfe\xba\xbf"):
            count = struct.unpack(">I", head[4:8])[0]
            if not 0 < count <= 30:
                return False
            arch = f.read(16)
            offset = struct.unpack(">I", arch[8:12])[0] if head[3] == 0xBE else struct.unpack(">Q", arch[8:16])[0]
        f.seek(offset)
        header = f.read(16)
    if len(header) < 16:
        return False
    if header[:4] in (b"\xce\xfa\xed\xfe", b"\xcf\xfa\xed\xfe"):
        return struct.unpack("<I", header[12:16])[0] in SIGNED_FILETYPES
    if header[:4] in (b"\xfe\xed\xfa\xce", b"\xfe\xed\xfa\xcf"):
        return struct.unpack(">I", header[12:16])[0] in SIGNED_FILETYPES
    return False


def check_item(path, ca, provisioning=False, parent_identifier=None, carrier=None, host=None, root=None):
    root = root or path
    if os.path.isdir(path):
        before = len(problems)
        contents, info_path = bundle_layout(path, path)
        info = plistlib.load(open(info_path, "rb"))
        executable = info["CFBundleExecutable"]
        main = os.path.join(contents, executable)
        # The program whose @executable_path the code inside resolves against.
        if host is None or os.path.splitext(path.rstrip("/"))[1] in (".app", ".appex", ".xpc", ".xctest"):
            host = main
        hash_types = check_binary(path, main, bundle=contents, ca=ca, info_path=info_path, host=host, root=root)
        check_seal(path, contents, executable, hash_types)
        provisioned = os.path.splitext(path.rstrip("/"))[1] in (".app", ".appex")
        if provisioning and provisioned:
            carrier = check_provisioning(path, parent_identifier)
            parent_identifier = info.get("CFBundleIdentifier", "")
        elif provisioning:
            check_carried(path, contents, carrier)
        # Every piece of nested code: bundles that name an executable, and
        # Mach-O files by their content, whatever their names.
        for root_folder, dirs, files in os.walk(contents):
            if root_folder == contents and "_CodeSignature" in dirs:
                dirs.remove("_CodeSignature")
            for name in sorted(dirs):
                full = os.path.join(root_folder, name)
                if is_bundle(full):
                    check_item(full, ca, provisioning, parent_identifier, carrier, host, root)
                    dirs.remove(name)
            for name in sorted(files):
                full = os.path.join(root_folder, name)
                if full != main and not os.path.islink(full) and os.path.isfile(full) and is_signed_macho(full):
                    check_item(full, ca, provisioning, parent_identifier, carrier, host, root)
        return len(problems) == before
    check_binary(path, path, ca=ca, host=host, root=root)
    if provisioning:
        check_carried(path, path, carrier)


def main(argv):
    ca = None
    if len(argv) > 2 and argv[1] == "--ca":
        ca = argv[2]
        argv = argv[2:]
    provisioning = len(argv) > 1 and argv[1] == "--provisioning"
    if provisioning:
        argv = argv[1:]
    global strict
    strict = len(argv) > 1 and argv[1] == "--strict"
    if strict:
        argv = argv[1:]
    for path in argv[1:]:
        try:
            check_item(path, ca, provisioning)
        except Exception as error:  # a malformed file is a finding, not a crash
            problem(path, f"cannot be checked: {error!r}")
    for line in problems:
        print(line)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
