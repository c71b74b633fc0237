import pytest


@pytest.fixture(scope="session")
def ext():
    import _quillmark_rec_server_extension as module

    return module
