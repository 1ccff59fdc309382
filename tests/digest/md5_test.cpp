// MD5 tests follow.
