// The benchmark families; each registers its cases with Google Benchmark.
#pragma once

// Alias table, property list and package path.
void registerParsing();

// Profile extraction beside a plain read of the same bytes, with peak memory.
void registerExtraction();
