import pytest


@pytest.fixture(scope="session", autouse=True)
def module_defaults():
    """The tests of the module expect its own defaults: importing the `quillmark` package
    (several test files do) makes it quiet, so they are restored for the whole session."""
    import quillmark  # noqa: F401
    import _quillmark_rec_server_extension as module

    module.set_log_level("debug")
    module.set_scan_listing(True)


@pytest.fixture(scope="session")
def ext():
    import _quillmark_rec_server_extension as module

    return module
