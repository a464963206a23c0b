// Links every object of the library (as a whole archive), so that
// scripts/check-xp-imports.sh sees all their imports. Only the import table
// matters: it never runs.
int main() { return 0; }
