module tolvarsdk

go 1.19
