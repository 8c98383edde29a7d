def pytest_configure(config):
    config.addinivalue_line(
        "markers", "huge: a test over 100 MB of input (run once per CI run; the sanitized run deselects it)")
