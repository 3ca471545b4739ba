// Profile strings: single values of an INI-style file read and rewritten
// directly on the file's text, without building tables.
#ifndef ZRPUB_ZRPROFILE_H
#define ZRPUB_ZRPROFILE_H

// Size of the buffers that hold a whole file's text and its terminating NUL;
// a file of this size or more is refused.
constexpr int kProfileBufSize = 1024 * 1024;

// Returns 1 when c ends a line (line feed or carriage return); 0 otherwise.
int newline(char c);
// Returns 1 when c ends the text (NUL); 0 otherwise.
int end_of_string(char c);
// Returns 1 when c opens a section header; 0 otherwise.
int left_barce(char c);
// Returns 1 when c closes a section header; 0 otherwise.
int isright_brace(char c);

// Reads the file into buf (kProfileBufSize bytes) up to its end or its first
// 0xFF byte, NUL-terminated, and its length into *file_size. Returns 1; 0 when
// the file cannot be opened or is too large for buf (*file_size then 0).
int load_ini_file(const char* file, char* buf, int* file_size);

// Finds key in section in the text buf and sets the index outputs (-1 when not
// found): header name start, first non-blank after the header, key line start,
// last key character, value start, value end. Returns 1 when the key was
// found; 0 otherwise (the section positions may still be set).
int parse_file(const char* section, const char* key, const char* buf, int* sec_s, int* sec_e, int* key_s, int* key_e,
               int* value_s, int* value_e);

// Copies the raw value of key in section into value (at most size - 1
// characters, NUL-terminated). Returns 1; 0 when the file cannot be read or the
// key is not found, default_value (when given) then copied into value.
int read_profile_string(const char* section, const char* key, char* value, int size, const char* default_value,
                        const char* file);

// Returns the decimal value of key in section; default_value when the file
// cannot be read or the key is not found.
int read_profile_int(const char* section, const char* key, int default_value, const char* file);

// Rewrites the file with key in section set to value, adding the key or the
// section when missing. Returns 1; 0 when the file could not be rewritten (the
// old file is then untouched).
int write_profile_string(const char* section, const char* key, const char* value, const char* file);

#endif
