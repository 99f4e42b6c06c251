// wardencheck's series of tests against the shared-memory service. Each test logs
// its heading and its results under the tag "WardenCheck"; nothing goes to the
// standard streams.
#pragma once

// Releases every index 0 to 256; logs nothing.
void release_all();

void increase_value_once();
void increase_value_10times();
void check_allocated();
void test_set_get_registry_index();
void test_memset();

// The whole series in its fixed order, with release_all before each test.
void run_all_tests();
