#!/usr/bin/env python3
"""The resources byte for byte, the Windows resource script compiled and read back, and the
installation: what `cmake --install` lays out, and the Debian package, unpacked into a scratch
root and run.

usage: resources_test.py SOURCE_DIR BUILD_DIR
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.dom.minidom

SOURCE, BUILD = sys.argv[1], sys.argv[2]
RES = os.path.join(SOURCE, "res")
ICON_SIZES = [16, 24, 32, 48]
IMAGE_BYTES = [1384, 1736, 2216, 3752]


def read(path):
    with open(path, "rb") as f:
        return f.read()


# The tools these tests need, and the Debian package that brings each: a missing tool fails
# the test with the package to install, it never skips it.
PACKAGES = {
    "x86_64-w64-mingw32-windres": "binutils-mingw-w64-x86-64",
    "desktop-file-validate": "desktop-file-utils",
    "appstreamcli": "appstream",
    "man": "man-db",
    "dpkg-deb": "dpkg",
    "dpkg-shlibdeps": "dpkg-dev",
    "file": "file",
    "cpack": "cmake",
}


def need(tool):
    if shutil.which(tool) is None:
        raise AssertionError(f"'{tool}' is missing: install the Debian package "
                             f"{PACKAGES.get(tool, tool)} (scripts/setup.sh does)")


def run(*command, **kwargs):
    need(command[0])
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs).stdout


class Manifest(unittest.TestCase):
    def test_byte_exact(self):
        data = read(os.path.join(RES, "crateline.manifest"))
        self.assertEqual(len(data), 568)
        self.assertFalse(data.startswith(b"\xef\xbb\xbf"))
        self.assertNotIn(b"\n", data)
        self.assertFalse(data.endswith(b"\r"))
        lines = data.decode("utf-8").split("\r")
        self.assertEqual(len(lines), 21)
        self.assertEqual(lines[3], '  name="XPStyle Control Demo"')
        self.assertEqual(lines[15], '      publicKeyToken="6595b64144ccf1df"')
        xml.dom.minidom.parseString(data)


class Icon(unittest.TestCase):
    def test_four_8bit_images_smallest_first(self):
        data = read(os.path.join(RES, "crateline.ico"))
        reserved, kind, count = struct.unpack_from("<HHH", data)
        self.assertEqual((reserved, kind, count), (0, 1, 4))
        for i, (size, nbytes) in enumerate(zip(ICON_SIZES, IMAGE_BYTES)):
            w, h, colours, _, planes, bits, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
            self.assertEqual((w, h, colours, planes, bits, length), (size, size, 0, 1, 8, nbytes))
            image = data[offset:offset + length]
            header = struct.unpack_from("<IiiHH", image)
            self.assertEqual(header, (40, size, 2 * size, 1, 8))
            self.assertEqual(image, read(os.path.join(RES, f"icon-{30001 + i}.dib")))
        group = read(os.path.join(RES, "icon-group.bin"))
        self.assertEqual(struct.unpack_from("<HHH", group), (0, 1, 4))
        ids = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)[7] for i in range(4)]
        self.assertEqual(ids, [30001, 30002, 30003, 30004])

    def test_linux_icons(self):
        for size in ICON_SIZES + [256]:
            png = read(os.path.join(RES, "icons", f"crateline-{size}.png"))
            self.assertEqual(png[:8], b"\x89PNG\r\n\x1a\n")
            self.assertEqual(struct.unpack_from(">II", png, 16), (size, size))
        xml.dom.minidom.parse(os.path.join(RES, "icons", "crateline.svg"))


def parse_res(data):
    """The entries of a .res file: (type, name, language, data)."""
    def ident(offset):
        if struct.unpack_from("<H", data, offset)[0] == 0xFFFF:
            return struct.unpack_from("<H", data, offset + 2)[0], offset + 4
        end = offset
        while struct.unpack_from("<H", data, end)[0] != 0:
            end += 2
        return data[offset:end].decode("utf-16-le"), end + 2

    entries, offset = [], 0
    while offset < len(data):
        size, header = struct.unpack_from("<II", data, offset)
        kind, at = ident(offset + 8)
        name, at = ident(at)
        at = (at + 3) & ~3
        language = struct.unpack_from("<IHH", data, at)[2]
        body = data[offset + header:offset + header + size]
        if size:
            entries.append((kind, name, language, body))
        offset = (offset + header + size + 3) & ~3
    return entries


def parse_version_block(data, offset=0):
    """One VS_VERSIONINFO-style block: (key, value bytes, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    at = offset + 6
    key_end = at
    while struct.unpack_from("<H", data, key_end)[0] != 0:
        key_end += 2
    key = data[at:key_end].decode("utf-16-le")
    at = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[at:at + value_size]
    at = (at + value_size + 3) & ~3
    children = []
    while at < end:
        child = parse_version_block(data, at)
        children.append(child[:3])
        at = (at + child[3] + 3) & ~3
    return key, value, children, length


class ResourceScript(unittest.TestCase):
    def compile(self, *defines):
        with tempfile.TemporaryDirectory() as scratch:
            out = os.path.join(scratch, "crateline.res")
            run("x86_64-w64-mingw32-windres", "--preprocessor=cpp", "--preprocessor-arg=-xc",
                *defines, "-O", "res", "crateline.rc", "-o", out, cwd=RES)
            return {(k, n): (lang, body) for k, n, lang, body in parse_res(read(out))}

    def test_64bit_builds_name_their_own_architecture(self):
        x86 = read(os.path.join(RES, "crateline.manifest"))
        amd64 = read(os.path.join(RES, "crateline-amd64.manifest"))
        self.assertEqual(amd64.replace(b'"amd64"', b'"x86"'), x86)  # the same but for that
        self.assertEqual(amd64.count(b'processorArchitecture="amd64"'), 2)
        xml.dom.minidom.parseString(amd64)
        self.assertEqual(self.compile("-DCRATELINE_64BIT")[(24, 1)], (0x0409, amd64))

    def test_compiles_to_the_resources_the_program_carries(self):
        entries = self.compile()
        self.assertEqual(entries[(24, 1)], (0x0409, read(os.path.join(RES, "crateline.manifest"))))
        for i, nbytes in enumerate(IMAGE_BYTES):
            lang, body = entries[(3, 30001 + i)]
            self.assertEqual((lang, len(body)), (0, nbytes))
        self.assertEqual(entries[(14, 1)], (0, read(os.path.join(RES, "icon-group.bin"))))

        lang, version = entries[(16, 1)]
        self.assertEqual(lang, 0x0409)
        key, fixed, children, _ = parse_version_block(version)
        self.assertEqual(key, "VS_VERSION_INFO")
        signature, _, file_ms, file_ls, product_ms, product_ls, mask, flags, os_, kind, sub = \
            struct.unpack_from("<11I", fixed)
        self.assertEqual(signature, 0xFEEF04BD)
        self.assertEqual((file_ms, file_ls, product_ms, product_ls), (0x30000, 0, 0x30000, 0))
        self.assertEqual((mask, flags, os_, kind, sub), (0, 0, 4, 1, 0))
        self.assertEqual([c[0] for c in children], ["VarFileInfo", "StringFileInfo"])
        translation = children[0][2][0]
        self.assertEqual(translation[0], "Translation")
        self.assertEqual(struct.unpack("<HH", translation[1]), (0x0409, 0x04B0))
        table = children[1][2][0]
        self.assertEqual(table[0], "040904B0")
        strings = [(k, v.decode("utf-16-le").rstrip("\0")) for k, v, _ in table[2]]
        self.assertEqual([k for k, _ in strings], ["CompanyName", "FileDescription", "ProductName",
                                                   "FileVersion", "ProductVersion", "InternalName",
                                                   "OriginalFilename"])
        values = dict(strings)
        self.assertEqual(values["CompanyName"], "Brakmoor Inc.")
        self.assertEqual(values["FileDescription"], "Import EML Messages to Zimbra")
        self.assertEqual(values["ProductName"], "Brakmoor Crateline")
        self.assertEqual((values["FileVersion"], values["ProductVersion"]), ("3.00", "3.00"))
        self.assertEqual(values["OriginalFilename"], values["InternalName"] + ".exe")


class Installation(unittest.TestCase):
    def test_install_tree_is_valid(self):
        with tempfile.TemporaryDirectory() as prefix:
            run("cmake", "--install", BUILD, "--prefix", prefix)
            share = os.path.join(prefix, "share")
            for program in ("crateline", "crateline-cli"):
                self.assertTrue(os.access(os.path.join(prefix, "bin", program), os.X_OK), program)
            desktop = os.path.join(share, "applications", "com.brakmoor.Crateline.desktop")
            run("desktop-file-validate", desktop)
            run("appstreamcli", "validate", "--no-net",
                os.path.join(share, "metainfo", "com.brakmoor.Crateline.metainfo.xml"))
            for size in ICON_SIZES:
                self.assertTrue(os.path.exists(os.path.join(
                    share, "icons", "hicolor", f"{size}x{size}", "apps", "crateline.png")))
            self.assertTrue(os.path.exists(os.path.join(share, "icons", "hicolor", "scalable", "apps",
                                                        "crateline.svg")))
            metainfo = read(os.path.join(share, "metainfo", "com.brakmoor.Crateline.metainfo.xml"))
            self.assertIn(b"<project_license>MIT</project_license>", metainfo)
            self.assertIn(b"MIT License", read(os.path.join(share, "doc", "crateline", "copyright")))
            page = run("man", "-l", os.path.join(share, "man", "man1", "crateline-cli.1"),
                       env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat"))
            self.assertRegex(page, r"crateline-cli\s+-\s+pack mail into a .tgz")
            self.assertIn("upload", page)
            self.assertIn("EXIT STATUS", page)

    def test_debian_package_installs_and_runs(self):
        # CPack reads the programs' libraries with these to write the package's dependencies.
        need("file")
        need("dpkg-shlibdeps")
        with tempfile.TemporaryDirectory() as scratch:
            run("cpack", "-G", "DEB", "-B", scratch, "--config", os.path.join(BUILD, "CPackConfig.cmake"))
            debs = [f for f in os.listdir(scratch) if f.endswith(".deb")]
            self.assertEqual(len(debs), 1)
            deb = os.path.join(scratch, debs[0])
            depends = run("dpkg-deb", "-f", deb, "Depends")
            self.assertIn("usr/share/doc/crateline/copyright", run("dpkg-deb", "-c", deb))
            for library in ("libqt6widgets6", "libdeflate0", "libisal2", "libutf8proc2", "zlib1g", "libcurl4",
                            "xdg-utils"):
                self.assertIn(library, depends)
            root = os.path.join(scratch, "root")
            run("dpkg-deb", "-x", deb, root)
            cli = os.path.join(root, "usr", "bin", "crateline-cli")
            self.assertIn("crateline-cli 3.0", run(cli, "--version"))
            archive = os.path.join(scratch, "sample.tgz")
            sample = os.path.join(SOURCE, "samples", "mailbox")
            run(cli, "convert", sample, "-o", archive)
            self.assertIn("0 problems", run(cli, "verify", archive, "--source", sample))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
