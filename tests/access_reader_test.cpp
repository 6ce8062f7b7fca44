// Access reader tests: being written.
