#!/usr/bin/env python3
"""The desktop integration files, checked by the tools that read them.

The menu entry and service menus go through desktop-file-validate, the
metainfo through appstreamcli, the file types through update-mime-database
and xdg-mime, the installation through cmake --install and the user-level
install script, and the Nautilus action and the bash completion are run.
Every run happens in a scratch home; nothing of the real user is touched.

Environment (set by CTest): KIST_SOURCE_DIR, KIST_BINARY_DIR, KIST_TOOL (the
kist binary), KIST_VERSION, and KIST_VAULTDESK when VaultDesk is built.
"""
import configparser
import glob
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zipfile

SOURCE = os.environ["KIST_SOURCE_DIR"]
BUILD = os.environ["KIST_BINARY_DIR"]
KIST = os.environ["KIST_TOOL"]
VERSION = os.environ["KIST_VERSION"]
VAULTDESK = os.environ.get("KIST_VAULTDESK", "")

APP_ID = "com.brannoway.KorvelinSafehold"
LINUX = os.path.join(SOURCE, "desktop", "resources", "linux")
MENU_ENTRY = os.path.join(LINUX, APP_ID + ".desktop")
MIME_XML = os.path.join(LINUX, APP_ID + ".mime.xml")
METAINFO = os.path.join(LINUX, APP_ID + ".metainfo.xml")
PACKAGE_MENU = os.path.join(LINUX, "servicemenus", APP_ID + ".package.desktop")
SEND_MENU = os.path.join(LINUX, "servicemenus", APP_ID + ".send.desktop")
NAUTILUS_ACTION = os.path.join(LINUX, "nautilus", "korvelin-nautilus-action")
COMPLETION = os.path.join(LINUX, "completion", "kist")
INSTALL_SCRIPT = os.path.join(SOURCE, "scripts", "install-desktop.sh")

PACKAGE_TYPE = "application/x-korvelin-package"
BACKUP_TYPE = "application/x-korvelin-backup"

# The file-manager actions and the VaultDesk switch each one passes.
PACKAGE_ACTIONS = {"Extract here": "/xh", "Extract to…": "/x", "Copy into my vault": "/xv"}
FILE_ACTIONS = {"Add to my vault": "/sv", "Save as package…": "/sf",
                "Send to Dropbox": "/sd", "E-mail as package": "/se"}

# desktop-file-validate knows no KDE service menus: these complaints are the
# format itself (Type=Service with MimeType and Actions, KDE's all/all).
KDE_SERVICE_MENU_ERRORS = [
    re.compile(r'key "(MimeType|Actions)" is present in group "Desktop Entry", but the type is "Service"'),
    re.compile(r'contains value "all/all" which is an invalid MIME type'),
]

NAMESPACE = "{http://www.freedesktop.org/standards/shared-mime-info}"


def read_desktop_file(path):
    parser = configparser.ConfigParser(interpolation=None, strict=True)
    parser.optionxform = str  # keys are case-sensitive
    with open(path, encoding="utf-8") as f:
        parser.read_file(f)
    return parser


def split_list(value):
    return [item for item in value.split(";") if item]


def scratch_environment(home):
    """A minimal environment whose every user folder lies inside home."""
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": home,
        "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
        "XDG_CONFIG_HOME": os.path.join(home, ".config"),
        "XDG_CACHE_HOME": os.path.join(home, ".cache"),
        "XDG_DESKTOP_DIR": os.path.join(home, "Desktop"),
        "TMPDIR": os.path.join(home, "tmp"),
        "LANG": "C.UTF-8",
    }
    os.makedirs(env["TMPDIR"], exist_ok=True)
    return env


def run(args, env=None, cwd=None, check=True):
    result = subprocess.run(args, env=env, cwd=cwd, capture_output=True, text=True, timeout=600)
    if check and result.returncode != 0:
        raise AssertionError("%s exited %d\nstdout:\n%s\nstderr:\n%s"
                             % (args, result.returncode, result.stdout, result.stderr))
    return result


class ScratchTestCase(unittest.TestCase):
    def setUp(self):
        self._scratch = tempfile.TemporaryDirectory(prefix="kist-test-linux-")
        self.scratch = self._scratch.name
        self.home = os.path.join(self.scratch, "home")
        os.makedirs(self.home)
        self.env = scratch_environment(self.home)

    def tearDown(self):
        if os.environ.get("KIST_KEEP_SCRATCH"):
            print("scratch:", self.scratch)
        else:
            self._scratch.cleanup()


class MenuEntryTest(unittest.TestCase):
    def test_entry_validates(self):
        result = run(["desktop-file-validate", MENU_ENTRY], check=False)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotIn("error:", result.stdout + result.stderr)

    def test_entry_opens_one_package_or_backup_a_start(self):
        entry = read_desktop_file(MENU_ENTRY)["Desktop Entry"]
        self.assertEqual(entry["Exec"], "VaultDesk %f")
        self.assertEqual(entry["Icon"], APP_ID)
        self.assertEqual(entry["Name"], "KORVELIN Safehold")
        self.assertEqual(set(split_list(entry["MimeType"])), {PACKAGE_TYPE, BACKUP_TYPE})

    def test_entry_and_file_types_name_the_same_types(self):
        root = ET.parse(MIME_XML).getroot()
        declared = {}
        for mime in root.findall(NAMESPACE + "mime-type"):
            parents = [p.get("type") for p in mime.findall(NAMESPACE + "sub-class-of")]
            self.assertEqual(parents, ["application/zip"], mime.get("type"))
            declared[mime.get("type")] = [g.get("pattern") for g in mime.findall(NAMESPACE + "glob")]
        self.assertEqual(declared, {PACKAGE_TYPE: ["*.kzip"], BACKUP_TYPE: ["*.kzipbkp"]})
        entry = read_desktop_file(MENU_ENTRY)["Desktop Entry"]
        self.assertEqual(set(split_list(entry["MimeType"])), set(declared))


class ServiceMenuTest(unittest.TestCase):
    def check_menu(self, path, mime_types, actions):
        result = run(["desktop-file-validate", path], check=False)
        errors = [line for line in (result.stdout + result.stderr).splitlines()
                  if "error:" in line and not any(p.search(line) for p in KDE_SERVICE_MENU_ERRORS)]
        self.assertEqual(errors, [])

        # Dolphin ignores a service menu outside the system folders unless it is executable.
        self.assertTrue(os.stat(path).st_mode & stat.S_IXUSR, path)
        menu = read_desktop_file(path)
        head = menu["Desktop Entry"]
        self.assertEqual(head["Type"], "Service")
        self.assertEqual(split_list(head["MimeType"]), mime_types)
        found = {}
        for action in split_list(head["Actions"]):
            group = menu["Desktop Action " + action]
            label = group["Name"]
            program, switch, field = group["Exec"].split(" ")
            self.assertEqual((program, field), ("VaultDesk", "%f"), group["Exec"])
            found[label] = switch
        self.assertEqual(found, actions)

    def test_package_menu(self):
        self.check_menu(PACKAGE_MENU, [PACKAGE_TYPE, BACKUP_TYPE], PACKAGE_ACTIONS)

    def test_file_and_folder_menu(self):
        self.check_menu(SEND_MENU, ["all/all"], FILE_ACTIONS)


class MetainfoTest(unittest.TestCase):
    def test_metainfo_validates(self):
        result = run(["appstreamcli", "validate", "--no-net", METAINFO], check=False)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_metainfo_matches_the_program(self):
        root = ET.parse(METAINFO).getroot()
        self.assertEqual(root.findtext("id"), APP_ID)
        self.assertEqual(root.findtext("launchable"), os.path.basename(MENU_ENTRY))
        newest = root.find("releases/release")
        self.assertEqual(newest.get("version"), VERSION, "the newest release names the project's version")
        provided = {m.text for m in root.findall("provides/mediatype")}
        self.assertEqual(provided, {PACKAGE_TYPE, BACKUP_TYPE})

    def test_screenshots_are_the_committed_ones(self):
        images = [i.text.strip() for i in ET.parse(METAINFO).getroot().findall("screenshots/screenshot/image")]
        self.assertTrue(images)
        names = []
        for url in images:
            match = re.fullmatch(r"https://\S+/docs/screenshots/([\w.-]+\.png)", url)
            self.assertIsNotNone(match, url)
            names.append(match.group(1))
        folder = os.path.join(SOURCE, "docs", "screenshots")
        if not os.path.isdir(folder):
            self.skipTest("docs/screenshots is not in this tree yet")
        missing = [n for n in names if not os.path.isfile(os.path.join(folder, n))]
        self.assertEqual(missing, [], "metainfo names screenshots that docs/screenshots lacks")


class FileTypeTest(ScratchTestCase):
    def query_filetype(self, path, data_home):
        env = dict(self.env, XDG_DATA_HOME=data_home, XDG_DATA_DIRS=data_home + ":/usr/share",
                   XDG_CURRENT_DESKTOP="GNOME")
        return run(["xdg-mime", "query", "filetype", path], env=env).stdout.strip()

    def test_xdg_mime_names_our_types(self):
        data_home = os.path.join(self.scratch, "prefix", "share")
        os.makedirs(os.path.join(data_home, "mime", "packages"))
        os.makedirs(os.path.join(data_home, "applications"))
        shutil.copy(MIME_XML, os.path.join(data_home, "mime", "packages", APP_ID + ".xml"))
        shutil.copy(MENU_ENTRY, os.path.join(data_home, "applications"))
        run(["update-mime-database", os.path.join(data_home, "mime")])
        run(["update-desktop-database", os.path.join(data_home, "applications")])

        expected = {"report.kzip": PACKAGE_TYPE, "korvelin.0A1B2C3D4E5F.kzipbkp": BACKUP_TYPE,
                    "SHOUTED.KZIP": PACKAGE_TYPE, "plain.zip": "application/zip"}
        for name, mime_type in expected.items():
            path = os.path.join(self.scratch, name)
            with zipfile.ZipFile(path, "w") as archive:  # zip content: the glob must win over the magic
                archive.writestr("f13f2488-44d3-4267-bf0d-80a84ac7f3ee", b"x")
            with self.subTest(name=name):
                self.assertEqual(self.query_filetype(path, data_home), mime_type)

        env = dict(self.env, XDG_DATA_HOME=data_home, XDG_DATA_DIRS=data_home + ":/usr/share")
        for mime_type in (PACKAGE_TYPE, BACKUP_TYPE):
            default = run(["xdg-mime", "query", "default", mime_type], env=env).stdout.strip()
            self.assertEqual(default, APP_ID + ".desktop", mime_type)


class InstallTest(ScratchTestCase):
    EXPECTED = [
        "bin/kist",
        "share/applications/" + APP_ID + ".desktop",
        "share/mime/packages/" + APP_ID + ".xml",
        "share/metainfo/" + APP_ID + ".metainfo.xml",
        "share/kio/servicemenus/" + APP_ID + ".package.desktop",
        "share/kio/servicemenus/" + APP_ID + ".send.desktop",
        "share/bash-completion/completions/kist",
        "share/" + APP_ID + "/korvelin-nautilus-action",
    ]

    def expected_files(self):
        files = list(self.EXPECTED)
        if VAULTDESK:
            files.append("bin/VaultDesk")
        icons = os.path.join(SOURCE, "desktop", "resources", "icons", "hicolor")
        if os.path.isdir(icons):
            for size in os.listdir(icons):
                for ext in ("png", "svg"):
                    if os.path.isfile(os.path.join(icons, size, "apps", APP_ID + "." + ext)):
                        files.append("share/icons/hicolor/%s/apps/%s.%s" % (size, APP_ID, ext))
        return files

    def check_laid_out(self, prefix):
        for relative in self.expected_files():
            self.assertTrue(os.path.isfile(os.path.join(prefix, relative)), relative)
        for menu in ("package", "send"):
            path = os.path.join(prefix, "share/kio/servicemenus", "%s.%s.desktop" % (APP_ID, menu))
            self.assertTrue(os.stat(path).st_mode & stat.S_IXUSR, path)
        # lib, or lib/<triplet> when the build was configured for /usr
        libraries = glob.glob(os.path.join(prefix, "lib*", "**", "libKistCore.so.*"), recursive=True)
        self.assertTrue(libraries, "libKistCore.so.* under the prefix")

    def check_runs(self, prefix):
        env = dict(self.env)
        env.pop("LD_LIBRARY_PATH", None)
        result = run([os.path.join(prefix, "bin", "kist"), "--version"], env=env)
        self.assertIn("kist", result.stdout)

    def test_cmake_install_lays_out_a_prefix_that_runs_anywhere(self):
        prefix = os.path.join(self.scratch, "prefix")
        run(["cmake", "--install", BUILD, "--prefix", prefix])
        self.check_laid_out(prefix)
        self.check_runs(prefix)
        # The programs find KistCore relative to themselves, so a moved tree still runs.
        moved = os.path.join(self.scratch, "moved")
        shutil.move(prefix, moved)
        self.check_runs(moved)

    def test_user_install_and_uninstall(self):
        keep = os.path.join(self.env["XDG_DATA_HOME"], "applications", "someone-else.desktop")
        os.makedirs(os.path.dirname(keep))
        shutil.copy(MENU_ENTRY, keep)

        result = run([INSTALL_SCRIPT, "--no-build", "--build-dir", BUILD], env=self.env)
        self.assertIn("Installed", result.stdout)
        prefix = os.path.join(self.home, ".local")
        self.check_laid_out(prefix)
        self.check_runs(prefix)
        self.assertTrue(os.path.isfile(os.path.join(prefix, "share", "mime", "mime.cache")))
        scripts = os.path.join(self.env["XDG_DATA_HOME"], "nautilus", "scripts", "KORVELIN Safehold")
        self.assertEqual(sorted(os.listdir(scripts)), sorted({**PACKAGE_ACTIONS, **FILE_ACTIONS}))
        for name in os.listdir(scripts):
            self.assertTrue(os.access(os.path.join(scripts, name), os.X_OK), name)

        # Installing again replaces the first installation without complaint.
        run([INSTALL_SCRIPT, "--no-build", "--build-dir", BUILD], env=self.env)

        result = run([INSTALL_SCRIPT, "--uninstall"], env=self.env)
        self.assertIn("Removed", result.stdout)
        left = [r for r in self.expected_files() if os.path.exists(os.path.join(prefix, r))]
        self.assertEqual(left, [])
        self.assertFalse(os.path.exists(scripts))
        self.assertTrue(os.path.isfile(keep), "uninstalling removes only what was installed")
        self.assertEqual(run([INSTALL_SCRIPT, "--uninstall"], env=self.env).returncode, 0)


class NautilusActionTest(ScratchTestCase):
    def setUp(self):
        super().setUp()
        # A VaultDesk stand-in that records each start's arguments, one start a line.
        self.record = os.path.join(self.scratch, "starts")
        bin_dir = os.path.join(self.scratch, "bin")
        os.makedirs(bin_dir)
        fake = os.path.join(bin_dir, "VaultDesk")
        with open(fake, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\037" "$@" >> "%s"\necho >> "%s"\n' % (self.record, self.record))
        os.chmod(fake, 0o755)
        self.env["PATH"] = bin_dir + ":" + self.env["PATH"]
        self.scripts = os.path.join(self.scratch, "scripts")
        os.makedirs(self.scripts)

    def starts(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record, encoding="utf-8") as f:
            return [line.rstrip("\n").split("\x1f")[:-1] for line in f]

    def run_action(self, label, selection):
        script = os.path.join(self.scripts, label)
        shutil.copy(NAUTILUS_ACTION, script)
        env = dict(self.env, NAUTILUS_SCRIPT_SELECTED_FILE_PATHS="".join(p + "\n" for p in selection))
        return run([script], env=env, cwd=self.scratch)

    def test_labels_and_switches_match_the_dolphin_menus(self):
        labels = run([NAUTILUS_ACTION, "--list"]).stdout.splitlines()
        self.assertEqual(sorted(labels), sorted({**PACKAGE_ACTIONS, **FILE_ACTIONS}))
        for label in labels:
            if os.path.exists(self.record):
                os.remove(self.record)
            self.run_action(label, ["/docs/report.kzip"])
            self.assertEqual(self.starts(), [[{**PACKAGE_ACTIONS, **FILE_ACTIONS}[label], "/docs/report.kzip"]])

    def test_every_selected_file_gets_a_start_of_its_own(self):
        selection = ["/home/ann/My Files/it's here.kzip", "/tmp/$HOME `x` \\n.kzip", "/tmp/-dash.kzip"]
        self.run_action("Extract here", selection)
        self.assertEqual(self.starts(), [["/xh", path] for path in selection])

    def test_a_script_under_an_unknown_name_does_nothing(self):
        script = os.path.join(self.scripts, "Something else")
        shutil.copy(NAUTILUS_ACTION, script)
        result = run([script], env=dict(self.env, NAUTILUS_SCRIPT_SELECTED_FILE_PATHS="/a.kzip\n"), check=False)
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(self.starts(), [])


class ScriptSyntaxTest(unittest.TestCase):
    def test_scripts_parse(self):
        scripts = [os.path.join(SOURCE, "scripts", n) for n in os.listdir(os.path.join(SOURCE, "scripts"))
                   if n.endswith(".sh")]
        for path in scripts + [COMPLETION, NAUTILUS_ACTION]:
            with self.subTest(script=os.path.basename(path)):
                run(["bash", "-n", path])
        run(["sh", "-n", NAUTILUS_ACTION])  # a POSIX shell script: Nautilus may run it with dash


class CompletionTest(ScratchTestCase):
    def complete(self, *words, cwd=None):
        """COMPREPLY of the kist completion for a command line whose last word is being typed."""
        script = 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); ' \
                 '_kist; printf "%s\\n" "${COMPREPLY[@]}"'
        env = dict(self.env, PATH=os.path.dirname(KIST) + ":" + self.env["PATH"])
        result = run(["bash", "-c", script, "complete", COMPLETION, "kist"] + list(words), env=env,
                     cwd=cwd or self.scratch)
        return [line for line in result.stdout.splitlines() if line]

    def help_commands(self):
        """The commands kist --help lists, so the completion cannot fall behind the tool."""
        text = run([KIST, "--help"], env=self.env).stdout
        section = text.split("Commands:", 1)[1].split("\n\n", 1)[0]
        words = [line.split()[:2] for line in section.splitlines() if re.match(r"  [a-z]", line)]
        return words

    def test_offers_every_command_of_the_help(self):
        words = self.help_commands()
        self.assertEqual(set(self.complete("")), {w[0] for w in words})
        self.assertEqual(set(self.complete("package", "")), {w[1] for w in words if w[0] == "package"})
        self.assertEqual(self.complete("ta"), ["take-out"])
        self.assertEqual(set(self.complete("-")), {"-h", "--help", "--version"})

    def test_paths_where_paths_go(self):
        work = os.path.join(self.scratch, "work")
        os.makedirs(os.path.join(work, "outbox"))
        for name in ("report.kzip", "notes.txt", "korvelin.0A1B2C3D4E5F.kzipbkp"):
            open(os.path.join(work, name), "w").close()
        self.assertEqual(set(self.complete("add", "", cwd=work)),
                         {"outbox", "report.kzip", "notes.txt", "korvelin.0A1B2C3D4E5F.kzipbkp"})
        self.assertEqual(self.complete("take-out", "--to", "", cwd=work), ["outbox"])
        self.assertEqual(set(self.complete("package", "list", "", cwd=work)),
                         {"outbox", "report.kzip", "korvelin.0A1B2C3D4E5F.kzipbkp"})
        self.assertEqual(set(self.complete("restore", "", cwd=work)), {"outbox", "korvelin.0A1B2C3D4E5F.kzipbkp"})
        self.assertEqual(set(self.complete("export", "--out", "r", cwd=work)), {"report.kzip"})

    def test_entry_names_from_the_vault(self):
        # No vault yet: nothing is offered, and no vault is created by asking.
        self.assertEqual(self.complete("take-out", ""), [])
        self.assertFalse(os.path.exists(os.path.join(self.env["XDG_DATA_HOME"], "kist")))

        work = os.path.join(self.scratch, "work")
        os.makedirs(work)
        for name in ("it's a plan.txt", "report.txt"):
            with open(os.path.join(work, name), "w") as f:
                f.write("body")
        run([KIST, "add", os.path.join(work, "it's a plan.txt"), os.path.join(work, "report.txt")], env=self.env)
        self.assertEqual(set(self.complete("take-out", "")), {"it\\'s\\ a\\ plan.txt", "report.txt"})
        self.assertEqual(self.complete("export", "--out", "x.kzip", "re"), ["report.txt"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
