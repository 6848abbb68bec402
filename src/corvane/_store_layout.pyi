month_file_pattern: str
month_key_pattern: str
temporary_prefix: str
temporary_file_pattern: str
state_directory: str
table_suffix: str
digest_directory: str
digest_suffix: str
