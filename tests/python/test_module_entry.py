import glob
import os
import shutil
import subprocess

import pytest


def test_enumerations_have_fixed_values_and_are_exported(ext):
    expected = {
        "ExtractorType": {"Raw": 0, "String": 1, "Bool": 2, "Int64": 3, "Double": 4, "Timestamp": 5,
                          "Time": 6, "Date": 7, "Duration": 8, "Record": 9},
        "Status": {"Ok": 0, "Pending": 1, "NotFound": 2, "OutOfMemory": 3, "IOError": 4,
                   "Corruption": 5, "Aborted": 6},
    }
    for enum_name, members in expected.items():
        enum = getattr(ext, enum_name)
        assert {name: int(value) for name, value in enum.__members__.items()} == members
        for name in members:
            # Every member is also a module attribute, the very same member.
            assert getattr(ext, name) == getattr(enum, name)
    # Registration order is the order Python lists the members in.
    assert list(ext.ExtractorType.__members__) == ["Raw", "Bool", "String", "Int64", "Double", "Timestamp",
                                                   "Date", "Time", "Duration", "Record"]
    assert list(ext.Status.__members__) == ["Ok", "Aborted", "Corruption", "IOError", "NotFound",
                                            "OutOfMemory", "Pending"]


def test_try_me_calls_overrides_from_native_code(ext):
    class Recorder(ext.DynamicScan):
        def __init__(self, answer):
            super().__init__()
            self.answer = answer
            self.checked, self.touched = [], []

        def check(self, text):
            self.checked.append(text)
            return self.answer

        def touch(self, text):
            self.touched.append(text)

    for answer, touches in [(True, ["world... Again!!"]), (1, ["world... Again!!"]), (2.5, ["world... Again!!"]),
                            (False, []), (0, []), (None, [])]:
        scan = Recorder(answer)
        ext.try_me(scan)
        assert scan.checked == ["hello"]
        assert scan.touched == touches, answer

    # The base class's bound method dispatches to the override.
    scan = Recorder(True)
    assert ext.DynamicScan.check(scan, "x") is True
    assert scan.checked == ["x"]


def test_try_me_failures(ext):
    with pytest.raises(RuntimeError, match=r'^Tried to call pure virtual function "DynamicScan::check"$'):
        ext.try_me(ext.DynamicScan())

    class OnlyCheck(ext.DynamicScan):
        ran = False

        def check(self, text):
            OnlyCheck.ran = True
            return True

    with pytest.raises(RuntimeError, match=r'^Tried to call pure virtual function "DynamicScan::touch"$'):
        ext.try_me(OnlyCheck())
    assert OnlyCheck.ran

    class SaysYes(ext.DynamicScan):
        def check(self, text):
            return "yes"

        def touch(self, text):
            raise AssertionError("touch must not run")

    with pytest.raises(RuntimeError, match="Unable to cast"):
        ext.try_me(SaysYes())

    class Raises(ext.DynamicScan):
        def check(self, text):
            raise KeyError("from python")

    with pytest.raises(KeyError, match="from python"):
        ext.try_me(Raises())

    with pytest.raises(TypeError):
        ext.try_me(object())


def _other_interpreters():
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return []
    found = []
    for path in sorted(glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3.*"))):
        name = os.path.basename(path)
        minor = name[len("python3."):]
        if minor.isdigit() and int(minor) >= 11:
            found.append(path)
    return found


def test_other_interpreter_is_refused(ext, tmp_path):
    interpreters = _other_interpreters()
    if not interpreters:
        pytest.skip("no Python 3.11 or later interpreter on this machine")
    # The ABI-neutral file name lets another interpreter find and load the module.
    shutil.copy(ext.__file__, tmp_path / "_quillmark_rec_server_extension.so")
    result = subprocess.run(
        [interpreters[0], "-c", "import _quillmark_rec_server_extension"],
        cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert result.returncode != 0
    assert "ImportError: Python version mismatch: module was compiled for Python 3.10, but the interpreter " \
           "version is incompatible: 3.1" in result.stderr
