#!/usr/bin/python3
"""Checks what `scripts/release OWNER/REPO OUTDIR` wrote: the winget and Scoop manifests against
the package managers' own JSON schemas (../shared/schemas beside the project; without it that step
is skipped, and says so), against the rules that `winget validate` applies beyond its schema, and
with SHA256SUMS against the zips. Each row of the table changes one thing in what was written,
which the check must then refuse; and scripts/release must refuse names that are not OWNER/REPO.
    check_release.py OUTDIR OWNER/REPO"""
import hashlib
import io
import json
import os
import re
import subprocess
import sys
import tempfile
import zipfile

import jsonschema
import yaml

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCHEMAS = os.path.join(os.path.dirname(ROOT), "shared", "schemas")
WINGET = "1.12.0"
WINGET_TYPES = {"version", "defaultLocale", "installer"}


# A plain safe loader turns a date into a date and an unquoted 1.0 into a number. winget reads
# dates as text but versions as the schema's strings, so only the dates are left as text.
class Loader(yaml.SafeLoader):
    pass


Loader.yaml_implicit_resolvers = {
    first: [(tag, rx) for tag, rx in resolvers if tag != "tag:yaml.org,2002:timestamp"]
    for first, resolvers in yaml.SafeLoader.yaml_implicit_resolvers.items()
}


def strict(schema):
    """The schema with every object's properties closed, as winget validate refuses unknown keys."""
    if isinstance(schema, dict):
        schema = {k: strict(v) for k, v in schema.items()}
        if "properties" in schema and "additionalProperties" not in schema:
            schema["additionalProperties"] = False
    elif isinstance(schema, list):
        schema = [strict(v) for v in schema]
    return schema


def load_schemas():
    if not os.path.isdir(SCHEMAS):
        return None
    schemas = {}
    for kind in WINGET_TYPES:
        with open(os.path.join(SCHEMAS, f"winget-{WINGET}", f"manifest.{kind}.{WINGET}.json")) as f:
            schemas[kind] = strict(json.load(f))
    with open(os.path.join(SCHEMAS, "scoop", "schema.json")) as f:
        schemas["scoop"] = json.load(f)
    return schemas


def schema_problems(schema, document, name):
    validator = jsonschema.Draft7Validator(schema)
    return [f"{name}: {e.message} at /{'/'.join(map(str, e.path))}"
            for e in validator.iter_errors(document)]


def listing(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return z.namelist()


def notes_problems(name, notes, more=()):
    """What the notes lack of ending the keepers (and `more`); taskkill needs /f for them."""
    needed = ["taskkill /f /im vemo.exe", "Stop-Process -Name vemo", "elevated", *more]
    found = [f"{name} do not say {text!r}" for text in needed if text not in notes]
    if re.search(r"taskkill(?! /f )", notes):
        found.append(f"{name} give taskkill without /f, which cannot end a keeper")
    return found


def problems(files, zips, slug, version, schemas):
    """What is wrong with the files written (name -> text) and the zips (name -> bytes)."""
    found = []
    owner = slug.split("/")[0]
    base = f"https://github.com/{slug}/releases/download/v{version}/"
    names = {"x86": f"vemo-{version}-win32.zip", "x64": f"vemo-{version}-win64.zip"}
    digests = {arch: hashlib.sha256(zips.get(z, b"")).hexdigest() for arch, z in names.items()}
    for arch, zip_name in names.items():
        if zip_name not in zips:
            found.append(f"no {zip_name}")
            continue
        if sorted(listing(zips[zip_name])) != ["LICENSE", "README.md", "vemo.exe"]:
            found.append(f"{zip_name} holds {sorted(listing(zips[zip_name]))}")
    sums = sorted(files.get("SHA256SUMS", "").splitlines())
    if sums != sorted(f"{digests[a]}  {names[a]}" for a in names):
        found.append(f"SHA256SUMS does not match the zips: {sums}")

    # winget: one file of each type, each with the header that names its schema.
    manifests = {}
    for name, text in files.items():
        if not name.startswith("winget/"):
            continue
        header, _, body = text.partition("\n")
        try:
            document = yaml.load(body, Loader=Loader)
        except yaml.YAMLError as e:
            found.append(f"{name}: {e}")
            continue
        kind = document.get("ManifestType") if isinstance(document, dict) else None
        if kind not in WINGET_TYPES or kind in manifests:
            found.append(f"{name}: ManifestType {kind!r} is unknown or not alone")
            continue
        manifests[kind] = document
        expected = ("# yaml-language-server: $schema=https://aka.ms/winget-manifest."
                    f"{kind}.{WINGET}.schema.json")
        if header.strip().lower() != expected.lower():
            found.append(f"{name}: the first line is not {expected!r}")
        if document.get("ManifestVersion") != WINGET:
            found.append(f"{name}: ManifestVersion is not {WINGET}")
        if document.get("PackageIdentifier") != f"{owner}.vemo":
            found.append(f"{name}: PackageIdentifier is not {owner}.vemo")
        if document.get("PackageVersion") != version:
            found.append(f"{name}: PackageVersion {document.get('PackageVersion')!r} is not "
                         f"the text {version!r}")
        # Quoted whatever the version: unquoted, 1.2.3 is text but 1.10 is the number 1.1.
        if not re.search(r'^PackageVersion: "[^"]*"$', body, re.M):
            found.append(f"{name}: PackageVersion is not quoted")
        if schemas:
            found += schema_problems(schemas[kind], document, name)
    if set(manifests) != WINGET_TYPES:
        return found + [f"winget: the files are {sorted(manifests)}, not {sorted(WINGET_TYPES)}"]
    if manifests["version"].get("DefaultLocale") != manifests["defaultLocale"].get("PackageLocale"):
        found.append("winget: DefaultLocale is not the default locale file's PackageLocale")
    found += notes_problems("winget InstallationNotes",
                            str(manifests["defaultLocale"].get("InstallationNotes")))
    installer = manifests["installer"]
    for nested in installer.get("NestedInstallerFiles") or []:
        path = str(nested.get("RelativeFilePath"))
        inside = all(path in listing(zips[z]) for z in names.values() if z in zips)
        if installer.get("NestedInstallerType") == "portable" and (
                not path.lower().endswith(".exe") or not inside):
            found.append(f"winget: the portable {path} is no .exe in both zips")
    entries = {i.get("Architecture"): i for i in installer.get("Installers") or []}
    for arch, zip_name in names.items():
        entry = entries.get(arch, {})
        if entry.get("InstallerUrl") != base + zip_name:
            found.append(f"winget: the {arch} InstallerUrl is not {base + zip_name}")
        if str(entry.get("InstallerSha256", "")).lower() != digests[arch]:
            found.append(f"winget: the {arch} InstallerSha256 is not that of {zip_name}")

    # Scoop: the manifest, and what its autoupdate makes of this very release.
    try:
        scoop = json.loads(files.get("vemo.json", ""))
    except json.JSONDecodeError as e:
        return found + [f"vemo.json: {e}"]
    if schemas:
        found += schema_problems(schemas["scoop"], scoop, "vemo.json")
    for key, value in {"version": version, "homepage": f"https://github.com/{slug}",
                       "license": "MIT", "bin": "vemo.exe", "checkver": "github"}.items():
        if scoop.get(key) != value:
            found.append(f"vemo.json: {key} is not {value!r}")
    notes = scoop.get("notes", "")
    notes = " ".join(notes) if isinstance(notes, list) else str(notes)
    found += notes_problems("vemo.json notes", notes,
                            ["ignore_running_processes true", "scoop cleanup vemo"])
    update = scoop.get("autoupdate", {})
    hash_rule = update.get("hash", {})
    for bits, arch in {"32bit": "x86", "64bit": "x64"}.items():
        entry = scoop.get("architecture", {}).get(bits, {})
        url = base + names[arch]
        if entry.get("url") != url or entry.get("hash") != digests[arch]:
            found.append(f"vemo.json: the {bits} url or hash is not that of {names[arch]}")
        auto = update.get("architecture", {}).get(bits, {}).get("url", "")
        if auto.replace("$version", version) != url:
            found.append(f"vemo.json: autoupdate's {bits} url does not name {url}")
        sums_url = hash_rule.get("url", "").replace("$baseurl", url.rsplit("/", 1)[0])
        if sums_url != base + "SHA256SUMS":
            found.append("vemo.json: autoupdate does not take the hashes from SHA256SUMS")
        pattern = (hash_rule.get("regex", "").replace("$sha256", "([a-fA-F0-9]{64})")
                   .replace("$basename", re.escape(names[arch])))
        match = re.search(pattern, files.get("SHA256SUMS", "")) if pattern else None
        if not match or match.group(1) != digests[arch]:
            found.append(f"vemo.json: autoupdate's regex does not find {names[arch]}'s hash")
    return found


# Each row: what it does, the file, a pattern in it and its replacement (exactly one place), and
# whether only the schemas can see it.
ROWS = [
    ("as written", None, None, None, False),
    ("a wrong hash for the x64 zip", "winget/installer", r"(x64\n.*\n\s*InstallerSha256: )\w+",
     r"\g<1>" + "0123456789ABCDEF" * 4, False),
    ("a URL of another version", "winget/installer", r"/v[\d.]+/(vemo-[\d.]+-win32)",
     r"/v0.9/\1", False),
    ("a misspelt optional key", "winget/defaultLocale", r"Moniker:", "Monicker:", True),
    ("an unquoted version", "winget/version", r'PackageVersion: "([\d.]+)"', r"PackageVersion: \1",
     False),
    ("no header line", "winget/installer", r"\A#.*\n", "", False),
    ("another identifier in one file", "winget/defaultLocale", r"PackageIdentifier: (.*)",
     r"PackageIdentifier: \1x", False),
    ("a portable path outside the zips", "winget/installer", r"RelativeFilePath: vemo.exe",
     "RelativeFilePath: bin/vemo.exe", False),
    ("Scoop: the 64-bit hash for the 32-bit zip", "vemo.json",
     r'("32bit": \{\s*"url": "[^"]*",\s*"hash": ")\w+'
     r'(?=(?s:.*)"64bit": \{\s*"url": "[^"]*",\s*"hash": "(\w+))',
     r"\g<1>\2", False),
    ("Scoop: an unknown key", "vemo.json", r'"bin":', '"bins": "vemo.exe",\n    "bin":', True),
    ("winget: no installation notes", "winget/defaultLocale", r"InstallationNotes: .*\n", "",
     False),
    ("Scoop: no notes", "vemo.json", r'\n\s*"notes": "[^"]*",', "", False),
    ("winget: taskkill without /f", "winget/defaultLocale", r"taskkill /f", "taskkill", False),
    ("Scoop: a second taskkill without /f", "vemo.json", r"(taskkill /f /im vemo.exe)",
     r"\1 or taskkill /im vemo.exe", False),
    ("SHA256SUMS: a line for another file", "SHA256SUMS", r"win64\.zip", "win64.zip.part", False),
]

# Names scripts/release must refuse, with one line and nothing written.
BAD_SLUGS = ["", "vemo", "a/b/c", "-octo/vemo", "octo/..", "octo example/vemo", "o" * 33 + "/vemo"]


def main():
    out, slug = sys.argv[1], sys.argv[2]
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        version = re.search(r"^project\(vemo VERSION ([\d.]+)", f.read(), re.M).group(1)
    files, zips = {}, {}
    for folder, _, names in os.walk(out):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                data = f.read()
            if name.endswith(".zip"):
                zips[name] = data
            else:
                files[os.path.relpath(path, out)] = data.decode("utf-8")
    # The rows name winget files by their type.
    aliases = {f"winget/{yaml.load(t.partition(chr(10))[2], Loader=Loader)['ManifestType']}": n
               for n, t in files.items() if n.startswith("winget/")}
    schemas = load_schemas()
    if not schemas:
        print(f"schemas not found at {SCHEMAS}: validation against them skipped")
    failed = 0
    for what, name, pattern, replacement, needs_schemas in ROWS:
        if needs_schemas and not schemas:
            print(f"skipped: {what} (only the schemas see it)")
            continue
        changed = dict(files)
        if name:
            name = aliases.get(name, name)
            changed[name], count = re.subn(pattern, replacement, files[name], count=1)
            if count != 1 or changed[name] == files[name]:
                print(f"FAIL: {what}: the row changes nothing in {name}")
                failed += 1
                continue
        found = problems(changed, zips, slug, version, schemas)
        if bool(found) != bool(name):
            failed += 1
        verdict = "refused" if found else "accepted"
        print(f"{'ok' if bool(found) == bool(name) else 'FAIL'}: {what}: {verdict}"
              + (f" ({found[0]})" if found else ""))
        for problem in found[1:] if not name else []:
            print(f"    {problem}")
    with tempfile.TemporaryDirectory() as scratch:
        for bad in BAD_SLUGS:
            target = os.path.join(scratch, "out")
            run = subprocess.run([os.path.join(ROOT, "scripts", "release"), bad, target],
                                 capture_output=True, text=True)
            lines = run.stderr.splitlines()
            good = run.returncode != 0 and len(lines) == 1 and not os.path.exists(target)
            failed += not good
            print(f"{'ok' if good else 'FAIL'}: scripts/release {bad!r}: exit {run.returncode}"
                  f", {run.stderr.strip()!r}")
    print(f"{failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
