import velkor_models.utils.files as files


def test_import_order(assert_import_order):
    assert_import_order("velkor_models.utils.files", [("base64", None), ("typing", "Any")])
