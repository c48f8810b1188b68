#pragma once

// One cell of the package table: a node of a singly linked list that holds
// every cell in row-major order. The node owns its text (allocated with
// new[]); the document owns the nodes.
struct PackageItem {
    char* pszText = nullptr;
    PackageItem* pNext = nullptr;
};
