"""Fixture generators for tests, benchmarks and the demo: tiny real LiteRT models
(make_fixture_models), IMX containers (imx) and the demo avatar (make_demo_bundle).
Imported from the repository root (`from tools.imx import write_imx`); each
generator with a command line also runs as a script."""
