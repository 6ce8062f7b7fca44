// MySQL provider tests: being written.
