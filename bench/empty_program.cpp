// Starts and ends: the cost of a process on this machine, which bench/run measures the utility against.
int main() {
    return 0;
}
