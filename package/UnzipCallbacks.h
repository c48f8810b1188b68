#pragma once

// The callbacks the program hands to the unzip library. They take the
// library's arguments and only return a constant: the program shows nothing
// while it extracts and never supplies a password.

// Texts from the library are dropped; returns 0.
int UnzipPrintCallback(char* text, unsigned long length);
// Asked before an existing file is replaced; returns 1 (replace).
int UnzipReplaceCallback(char* fileName);
// Asked for a password; writes nothing and returns 1.
int UnzipPasswordCallback(char* buffer, int size, const char* prompt, const char* entryName);
// Told about each member before it is written; returns 0 (carry on).
int UnzipServiceCallback(const char* entryName, unsigned long size);
// The scan's service callback: a descriptor larger than the descriptor
// reader reads is not extracted at all (returns 1, which stops the
// extraction); any other returns 0.
int UnzipDescriptorServiceCallback(const char* entryName, unsigned long size);
