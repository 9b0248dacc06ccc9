#!/usr/bin/env python3
"""Helpers of the peer benchmarks, all driven by a published manifest (gzip XML).

  peer_tool.py curl-config MANIFEST.gz BASE_URL MANIFEST_URL OUT_FOLDER
      a curl --config file fetching the manifest and every file body the updater fetches for an
      empty installation, each to OUT_FOLDER/<local path>.gz (the manifest to OUT_FOLDER/manifest.xml.gz)
  peer_tool.py urls MANIFEST.gz
      the URL paths of those bodies, one a line, sorted
  peer_tool.py requested SERVER_LOG
      the paths of the GET requests in a server log (korvel-publish serve, or the nginx access log
      of the benchmarks), sorted, the manifest left out
  peer_tool.py verify MANIFEST.gz FOLDER [SAMPLE]
      checks that FOLDER holds every file of the manifest with its size, and that SAMPLE files spread
      over the manifest (all with SAMPLE 0) have its CRC and SHA-256; prints one summary line and
      exits 1 on any difference
"""
import gzip
import hashlib
import os
import re
import sys
import xml.etree.ElementTree as ET
import zlib
from urllib.parse import quote


def entries(manifest):
    """(remote URL path, local path, element) of every file of the manifest, in document order."""
    with gzip.open(manifest, "rb") as stream:
        root = ET.parse(stream).getroot()
    out = []

    def walk(node, remote, local):
        for child in node:
            if child.tag == "Directory":
                name = child.get("Name")
                child_remote = child.get("RemotePath")
                if child_remote is None:
                    child_remote = name if remote is None else remote + "\\" + name
                child_local = local if name == "." else os.path.join(local, name)
                walk(child, child_remote, child_local)
            elif child.tag == "File":
                name = child.get("Name")
                file_remote = child.get("RemotePath", remote)
                path = (file_remote + "\\" + name) if file_remote else name
                out.append(("/" + path.replace("\\", "/"), os.path.join(local, child.get("LocalName", name)), child))

    for distribution in root.iter("Distribution"):
        walk(distribution, None, "")
    return out


def curl_config(manifest, base, manifest_url, folder):
    def line(key, value):
        return '%s = "%s"' % (key, value.replace("\\", "\\\\").replace('"', '\\"'))

    lines = [line("url", base + manifest_url), line("output", os.path.join(folder, "manifest.xml.gz"))]
    for remote, local, _ in entries(manifest):
        lines.append(line("url", base + remote))
        lines.append(line("output", os.path.join(folder, local) + ".gz"))
    print("\n".join(lines))


def requested(log):
    paths = []
    pattern = re.compile(r'"GET ([^" ]+)(?: HTTP/[0-9.]+)?"')
    with open(log, errors="replace") as stream:
        for text in stream:
            match = pattern.search(text)
            if match and not match.group(1).endswith(".xml.gz"):
                paths.append(match.group(1).replace("%5C", "/").replace("%5c", "/"))
    print("\n".join(sorted(paths)))


def verify(manifest, folder, sample):
    files = entries(manifest)
    missing = wrong_size = wrong_sum = checked = 0
    total = 0
    step = 1 if sample <= 0 else max(1, len(files) // sample)
    for index, (_, local, element) in enumerate(files):
        path = os.path.join(folder, local)
        try:
            size = os.path.getsize(path)
        except OSError:
            missing += 1
            continue
        total += size
        if size != int(element.get("TotalSize")):
            wrong_size += 1
            continue
        if index % step == 0:
            checked += 1
            digest, crc = hashlib.sha256(), 0
            with open(path, "rb") as stream:
                while True:
                    block = stream.read(1 << 20)
                    if not block:
                        break
                    digest.update(block)
                    crc = zlib.crc32(block, crc)
            crc = crc - (1 << 32) if crc >= (1 << 31) else crc
            if digest.hexdigest() != element.get("SHA256", digest.hexdigest()) or crc != int(element.get("CRC")):
                wrong_sum += 1
    on_disk = sum(len(names) for _, _, names in os.walk(folder))
    ok = missing == 0 and wrong_size == 0 and wrong_sum == 0
    print("%s: %d of %d files present (%d files on disk), %d bytes, %d wrong sizes, %d of %d sampled "
          "CRC/SHA-256 wrong" % ("ok" if ok else "MISMATCH", len(files) - missing, len(files), on_disk, total,
                                 wrong_size, wrong_sum, checked))
    return 0 if ok else 1


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    if command == "curl-config" and len(argv) == 6:
        curl_config(argv[2], argv[3].rstrip("/"), argv[4], argv[5])
    elif command == "urls" and len(argv) == 3:
        print("\n".join(sorted(quote(remote) for remote, _, _ in entries(argv[2]))))
    elif command == "requested" and len(argv) == 3:
        requested(argv[2])
    elif command == "verify" and len(argv) in (4, 5):
        return verify(argv[2], argv[3], int(argv[4]) if len(argv) == 5 else 64)
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
