def test_scan_operation_codes_and_module_exports(ext):
    members = {"EQ": 0, "NE": 1, "LT": 2, "LE": 3, "GT": 4, "GE": 5, "IN": 6, "NI": 7, "DEF": 8, "BTW": 9}
    assert {name: int(value) for name, value in ext.ScanOperation.__members__.items()} == members
    assert list(ext.ScanOperation.__members__) == list(members)
    for name in members:
        assert getattr(ext, name) == getattr(ext.ScanOperation, name)
