// MD5 digest: implementation follows.
