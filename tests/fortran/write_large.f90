! Writes a field dump through the compiler's own unformatted sequential I/O,
! one column of layers, for blocks of any size: a block whose data record is
! longer than one subrecord holds comes out split as this compiler splits
! it. Point p of the grid (column-major, from 0) holds mod(p, 16777213), a
! whole number a float32 holds exactly; the header is that of
! write_fixtures.f90.
!   write_large OUT NX NY H1 [H2 ...]
program write_large
  implicit none
  integer, parameter :: nparam = 20
  character(len=4096) :: out, arg
  integer :: u, nx, ny, nz, nlayers, l, i, j, k, z0, ipar(0:nparam - 1)
  integer, allocatable :: heights(:)
  real(4) :: rpar(0:nparam - 1)
  real(4), allocatable :: blk(:, :, :)

  call get_command_argument(1, out)
  call get_command_argument(2, arg)
  read (arg, *) nx
  call get_command_argument(3, arg)
  read (arg, *) ny
  nlayers = command_argument_count() - 3
  allocate (heights(nlayers))
  do l = 1, nlayers
    call get_command_argument(3 + l, arg)
    read (arg, *) heights(l)
  end do
  nz = sum(heights)
  do i = 0, nparam - 1
    ipar(i) = 1000 + i
    rpar(i) = 0.5 * i
  end do
  ipar(0) = 1
  ipar(1) = nlayers
  ipar(3) = nx
  ipar(4) = ny
  ipar(6) = nz
  ipar(14) = 3

  open (newunit=u, file=trim(out), form='unformatted', access='sequential', status='replace')
  write (u) nparam
  write (u) ipar
  write (u) rpar
  z0 = 0
  do l = 1, nlayers
    allocate (blk(0:nx - 1, 0:ny - 1, 0:heights(l) - 1))
    do k = 0, heights(l) - 1
      do j = 0, ny - 1
        do i = 0, nx - 1
          blk(i, j, k) = real(mod(i + int(nx, 8) * (j + int(ny, 8) * (z0 + k)), 16777213_8), 4)
        end do
      end do
    end do
    write (u) nx, ny, heights(l)
    write (u) blk
    deallocate (blk)
    z0 = z0 + heights(l)
  end do
  write (u) (real(0.5 * i, 4), i=0, nx - 1)
  write (u) (real(1 + j, 4), j=0, ny - 1)
  write (u) (real(-2.0 + 0.25 * k, 4), k=0, nz - 1)
  close (u)
end program write_large
