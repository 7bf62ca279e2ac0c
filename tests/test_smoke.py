import quelbrin


def test_module_imports_once():
    import importlib
    import sys

    first = sys.modules["quelbrin"]
    del sys.modules["quelbrin"]
    again = importlib.import_module("quelbrin")
    assert again is first is quelbrin
