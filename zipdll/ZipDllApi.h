/* The interface of the ZIP library: the records its caller fills and the
 * callback record it hands back, its two exports and the file name it has on
 * disk. Shared by the library and by the program that loads it at run time.
 *
 * The records keep their fields in the published order and widths with
 * pointers pointer-sized; on a 32-bit target they have exactly the published
 * offsets, on a 64-bit target the offsets asserted below. Fields the program
 * never sets are kept as reserved 32-bit slots. All records are zero-filled
 * before use. */
#ifndef PV_ZIPDLL_API_H
#define PV_ZIPDLL_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The one place that names the library's file; its build takes the name from
 * here too. */
#define ZIPDLL_FILE_NAME "libzipdll.so"

/* Interface version: what the caller puts at Version, and the least that the
 * library must report through GetZipDllVersion to be used. */
#define ZIPDLL_INTERFACE_VERSION 160

/* 32-bit booleans. */
#define ZIPDLL_TRUE (-1)
#define ZIPDLL_FALSE 0

/* Action codes of the callback. */
enum {
    zacNone = 0,
    zacBeginFile = 1,  /* Text = file, Number = its size */
    zacProgress = 2,   /* Number = bytes in this step */
    zacEndBatch = 3,   /* the batch is over */
    zacMessage = 4,    /* Text = a message */
    zacBatchCount = 5, /* Number = files in the batch */
    zacBatchBytes = 6, /* Number = bytes in the batch */
    zacNone7 = 7,      /* nothing */
    zacPassword = 8,   /* Number = 3 for a new password, else retries left */
    zacCrcError = 9,   /* Text = file */
    zacOverwrite = 10, /* AnswerFlag bit 0 = the existing file is older */
    zacSkipped = 11    /* Number = reason */
};

/* Reasons of zacSkipped. */
enum {
    zskNotFound = 1,   /* no such file */
    zskNotAFile = 2,   /* a directory or a special file */
    zskUnreadable = 3, /* it cannot be opened or read */
    zskNoEntry = 4     /* removal: no such entry in the archive */
};

#define ZIPDLL_TEXT_SIZE 512

typedef struct TZipCallbackInfo {
    uint32_t Reserved0;
    void *Caller; /* handed back from TZipExecParams.Caller */
    uint32_t Reserved8;
    uint32_t Reserved12;
    int32_t ActionCode;
    int32_t AnswerFlag; /* in and out */
    int32_t Number;     /* a size, a count or a reason; in and out */
    char Text[ZIPDLL_TEXT_SIZE];
} TZipCallbackInfo;

/* Returns -1 to stop the operation, 0 to go on. */
typedef int32_t (*TZipCallback)(TZipCallbackInfo *info);

typedef struct TZipFileSpec {
    const char *FileSpec;
    uint32_t Reserved4;
    uint32_t Reserved8;
    const char *Password; /* copy of TZipExecParams.Password */
    int32_t Encrypt;      /* copy of TZipExecParams.Encrypt */
    uint16_t Flag76;      /* copy of TZipExecParams.Flag76 */
    uint16_t Reserved22;
    uint32_t Reserved24[3];
    const char *RootDir; /* never NULL: "" when there is none */
    uint32_t Reserved40[16];
} TZipFileSpec;

/* Of the operation record the library reads Caller, Version, Callback, Trace,
 * Password with Encrypt, Adding and Removing (only adding is supported),
 * JunkDirs, SpecCount with Specs, ArchiveName and Comment. The other option
 * fields are accepted and not read: entries are always deflated at zlib's
 * default level (Option60 asks for 9, which costs twice the time for well
 * under a percent of size), and the new archive is written beside the old
 * one, not in TempDir, so that it can replace the old one by a rename. */
typedef struct TZipExecParams {
    uint32_t Handle; /* no window is passed: 0 */
    void *Caller;
    uint32_t Version; /* ZIPDLL_INTERFACE_VERSION */
    TZipCallback Callback;
    int32_t Trace;
    const char *Password;
    uint32_t Reserved24;
    int32_t Encrypt;
    int32_t Option32;
    uint32_t Reserved36;
    uint32_t Reserved40;
    int32_t Option44;
    uint32_t Reserved48;
    uint32_t Reserved52;
    int32_t Option56;
    int32_t Option60;
    uint32_t Reserved64;
    uint32_t Reserved68;
    int32_t Option72;
    uint16_t Flag76;
    uint16_t Reserved78;
    int32_t Adding;
    int32_t Option84;
    uint32_t Reserved88;
    int32_t Removing;
    int32_t JunkDirs; /* names stored without their directories */
    int32_t Option100;
    uint32_t Reserved104[4];
    int32_t SpecCount;
    const char *ArchiveName;
    const char *TempDir;
    const char *Comment; /* NULL: keep the archive's comment */
    uint32_t Reserved136;
    TZipFileSpec *Specs;
    uint32_t Reserved144[17];
    int32_t Option212;
} TZipExecParams;

/* The exports. ZipDllExec returns the number of files processed, or -1 when
 * the operation failed and the archive was left as it was (the reason went
 * to the callback as a message). */
typedef uint32_t (*TGetZipDllVersion)(void);
typedef int32_t (*TZipDllExec)(TZipExecParams *params);

uint32_t GetZipDllVersion(void);
int32_t ZipDllExec(TZipExecParams *params);

#ifdef __cplusplus
} /* extern "C" */

/* The layout: the published offsets with 4-byte pointers, these with 8-byte
 * ones. */
#define PV_ZIPDLL_AT(type, field, off32, off64)                                                    \
    static_assert(offsetof(type, field) == (sizeof(void *) == 4 ? (off32) : (off64)),              \
                  #type "." #field " moved")
static_assert(sizeof(void *) == 4 || sizeof(void *) == 8, "unknown pointer size");
static_assert(sizeof(TZipExecParams) == (sizeof(void *) == 4 ? 216 : 264), "TZipExecParams size");
PV_ZIPDLL_AT(TZipExecParams, Caller, 4, 8);
PV_ZIPDLL_AT(TZipExecParams, Version, 8, 16);
PV_ZIPDLL_AT(TZipExecParams, Callback, 12, 24);
PV_ZIPDLL_AT(TZipExecParams, Trace, 16, 32);
PV_ZIPDLL_AT(TZipExecParams, Password, 20, 40);
PV_ZIPDLL_AT(TZipExecParams, Encrypt, 28, 52);
PV_ZIPDLL_AT(TZipExecParams, Option32, 32, 56);
PV_ZIPDLL_AT(TZipExecParams, Option44, 44, 68);
PV_ZIPDLL_AT(TZipExecParams, Option56, 56, 80);
PV_ZIPDLL_AT(TZipExecParams, Option60, 60, 84);
PV_ZIPDLL_AT(TZipExecParams, Option72, 72, 96);
PV_ZIPDLL_AT(TZipExecParams, Flag76, 76, 100);
PV_ZIPDLL_AT(TZipExecParams, Adding, 80, 104);
PV_ZIPDLL_AT(TZipExecParams, Option84, 84, 108);
PV_ZIPDLL_AT(TZipExecParams, Removing, 92, 116);
PV_ZIPDLL_AT(TZipExecParams, JunkDirs, 96, 120);
PV_ZIPDLL_AT(TZipExecParams, Option100, 100, 124);
PV_ZIPDLL_AT(TZipExecParams, SpecCount, 120, 144);
PV_ZIPDLL_AT(TZipExecParams, ArchiveName, 124, 152);
PV_ZIPDLL_AT(TZipExecParams, TempDir, 128, 160);
PV_ZIPDLL_AT(TZipExecParams, Comment, 132, 168);
PV_ZIPDLL_AT(TZipExecParams, Specs, 140, 184);
PV_ZIPDLL_AT(TZipExecParams, Option212, 212, 260);

static_assert(sizeof(TZipFileSpec) == (sizeof(void *) == 4 ? 104 : 120), "TZipFileSpec size");
PV_ZIPDLL_AT(TZipFileSpec, Password, 12, 16);
PV_ZIPDLL_AT(TZipFileSpec, Encrypt, 16, 24);
PV_ZIPDLL_AT(TZipFileSpec, Flag76, 20, 28);
PV_ZIPDLL_AT(TZipFileSpec, RootDir, 36, 48);

static_assert(sizeof(TZipCallbackInfo) == (sizeof(void *) == 4 ? 540 : 552),
              "TZipCallbackInfo size");
PV_ZIPDLL_AT(TZipCallbackInfo, Caller, 4, 8);
PV_ZIPDLL_AT(TZipCallbackInfo, ActionCode, 16, 24);
PV_ZIPDLL_AT(TZipCallbackInfo, AnswerFlag, 20, 28);
PV_ZIPDLL_AT(TZipCallbackInfo, Number, 24, 32);
PV_ZIPDLL_AT(TZipCallbackInfo, Text, 28, 36);
#undef PV_ZIPDLL_AT
#endif

#endif /* PV_ZIPDLL_API_H */
