# The edge's tests in workerd itself (`workerd test tests/edge/test.capnp`):
# download_test.js checks the Worker's decisions (contrib/edge/download.js);
# worker_test.js drives the Worker (contrib/edge/worker.js) through a
# service binding, with origin_double.js standing in for the origin and the
# cache on its only way out.
using Workerd = import "/workerd/workerd.capnp";

const config :Workerd.Config = (
  services = [
    (name = "tests", worker = .tests),
    (name = "edge", worker = .edge),
    (name = "origin-double", worker = .originDouble),
  ],
);

const tests :Workerd.Worker = (
  modules = [
    (name = "edge_tests.js", esModule = embed "edge_tests.js"),
    (name = "download_test.js", esModule = embed "download_test.js"),
    (name = "worker_test.js", esModule = embed "worker_test.js"),
    (name = "table.js", esModule = embed "table.js"),
    (name = "origin_fixture.js", esModule = embed "origin_fixture.js"),
    (name = "download.js", esModule = embed "../../contrib/edge/download.js"),
  ],
  compatibilityDate = "2026-11-17",
  bindings = [
    (name = "EDGE", service = "edge"),
    (name = "ORIGIN_DOUBLE", service = "origin-double"),
    (name = "LINK_KEY", text = "MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWYtdGVzdC1rZXk="),
  ],
);

const edge :Workerd.Worker = (
  modules = [
    (name = "worker.js", esModule = embed "../../contrib/edge/worker.js"),
    (name = "download.js", esModule = embed "../../contrib/edge/download.js"),
  ],
  compatibilityDate = "2026-11-17",
  bindings = [
    (name = "ORIGIN", text = "http://origin.test"),
    (name = "LINK_KEY", text = "MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWYtdGVzdC1rZXk="),
    (name = "EDGE_SECRET", text = "an-edge-secret-of-more-than-32-characters"),
  ],
  globalOutbound = "origin-double",
);

const originDouble :Workerd.Worker = (
  modules = [
    (name = "origin_double.js", esModule = embed "origin_double.js"),
    (name = "origin_fixture.js", esModule = embed "origin_fixture.js"),
  ],
  compatibilityDate = "2026-11-17",
);
