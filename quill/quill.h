#pragma once
/// @file
/// Everything the library offers, for the panel's programs. The library's own
/// sources include the headers they use one by one instead.

#include <quill/conf/conf.h>
#include <quill/conf/conf_vars.h>
#include <quill/errors/errors.h>
#include <quill/errors/fatal.h>
#include <quill/errors/shared_ptr.h>
#include <quill/files/backup.h>
#include <quill/files/read_file.h>
#include <quill/files/replace.h>
#include <quill/files/tmpfile.h>
#include <quill/log/log.h>
#include <quill/net/fqdn.h>
#include <quill/sys/args.h>
#include <quill/sys/exec.h>
#include <quill/sys/exec_list.h>
#include <quill/sys/execute.h>
#include <quill/sys/outcome.h>
#include <quill/sys/prepare.h>
#include <quill/sys/run_options.h>
#include <quill/sys/settings.h>
#include <quill/util/byte_array_header.h>
#include <quill/util/envid.h>
#include <quill/util/regexp.h>
