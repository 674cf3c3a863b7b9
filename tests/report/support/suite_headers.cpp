// The unit the suites' precompiled header is built for; it holds no code.
