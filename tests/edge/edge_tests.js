// Every test of the edge: workerd runs the test() of each export of a
// worker's first module.
export * from "./download_test.js";
export * from "./worker_test.js";
