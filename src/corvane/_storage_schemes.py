"""The backends that serve roots spelled scheme://..., by scheme; local paths need none.

A backend is a module name or an object offering the functions of corvane._object_storage that the
store calls: exists, list_directory(path, files_only=False), read_bytes, write_bytes,
frame_to_parquet_bytes, delete_object, run_exclusively(path, body), read_digest_record and
write_digest_record. The store looks a backend up here on every call, so one entered here (a test's
in-memory store, say) serves its scheme at once.
"""

BACKENDS = {"s3": "corvane._object_storage"}
